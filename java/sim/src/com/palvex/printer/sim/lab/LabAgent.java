package com.palvex.printer.sim.lab;

import java.lang.instrument.Instrumentation;
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

    public static void premain(String arguments, Instrumentation instrumentation) throws Exception {
        LabOptions options = LabOptions.parse(arguments);
        String model = options.model() != null ? options.model() : VirtualPrinter.modelNames().get(0);
        VirtualPrinter printer = VirtualPrinter.plugIn(options.driverKind(), model, options.serial());
        LabPanel panel = LabPanel.start(List.of(printer), options.port());
        System.err.println("VantoryUSB printer lab: " + panel.address() + " (" + printer.model()
                + ", serial " + printer.serial() + ", "
                + (printer.driverKind() == VirtualPrinter.MAKER_DRIVER ? "maker's driver" : "printer class driver")
                + ")");
    }
}
