package com.palvex.printer.sim.lab;

import java.io.IOException;
import java.lang.instrument.Instrumentation;
import java.net.BindException;
import java.util.List;

/**
 * The printer lab for an unchanged application: started with
 * {@code java -javaagent:printer-sim.jar[=options] -Djava.library.path=... -jar app.jar}, it
 * plugs in a virtual printer before the application's {@code main} and starts the panel,
 * whose address it prints on one line. The application finds the printer through VantoryUSB
 * as it would find a real one. See {@link LabOptions} for the options.
 */
public final class LabAgent {
    private LabAgent() {}

    /**
     * Never keeps the application from starting: a bad option is reported and its default
     * taken, a port in use gives way to a free one, and a lab that cannot start at all says
     * why on the standard error and lets the application run without it.
     */
    public static void premain(String arguments, Instrumentation instrumentation) {
        try {
            start(arguments);
        } catch (Exception | LinkageError e) {
            System.err.println("VantoryUSB printer lab: not started: " + e);
        }
    }

    // The panel it started, for a test to close.
    static LabPanel start(String arguments) throws IOException {
        LabOptions options;
        try {
            options = LabOptions.parse(arguments);
        } catch (IllegalArgumentException e) {
            System.err.println("VantoryUSB printer lab: " + e.getMessage() + "; the lab starts with its defaults");
            options = LabOptions.parse(null);
        }
        String model = options.model() != null ? options.model() : VirtualPrinter.modelNames().get(0);
        VirtualPrinter printer;
        try {
            printer = VirtualPrinter.plugIn(options.driverKind(), model, options.serial());
        } catch (IllegalArgumentException e) {
            System.err.println("VantoryUSB printer lab: " + e.getMessage() + "; the lab plugs in the first model");
            printer = VirtualPrinter.plugIn(options.driverKind(), VirtualPrinter.modelNames().get(0), options.serial());
        }
        LabPanel panel;
        try {
            panel = LabPanel.start(List.of(printer), options.port());
        } catch (BindException e) {
            System.err.println("VantoryUSB printer lab: port " + options.port() + " is in use; the panel takes a free one");
            panel = LabPanel.start(List.of(printer), 0);
        }
        System.err.println("VantoryUSB printer lab: " + panel.address() + " (" + printer.model()
                + ", serial " + printer.serial() + ", "
                + (printer.driverKind() == VirtualPrinter.MAKER_DRIVER ? "maker's driver" : "printer class driver")
                + ")");
        return panel;
    }
}
