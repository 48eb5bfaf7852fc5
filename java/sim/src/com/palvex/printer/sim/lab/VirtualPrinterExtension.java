package com.palvex.printer.sim.lab;

import java.io.IOException;
import java.lang.reflect.AnnotatedElement;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Optional;
import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;
import org.junit.jupiter.api.extension.ParameterContext;
import org.junit.jupiter.api.extension.ParameterResolver;
import org.junit.jupiter.api.extension.TestWatcher;

/**
 * Gives each test a fresh {@link VirtualPrinter}, with {@code @ExtendWith} or
 * {@link WithPrinter}: the simulator is reset before and after each test, and the printer is
 * plugged in as {@link WithPrinter} says (the printer class driver, the first model, by
 * default). When a test fails, the picture of the printer's last receipt is written to
 * {@code <reports>/<test class>/<test method>.png}, where {@code <reports>} is the system
 * property {@code printer.lab.reports} (default {@code build/printer-lab-reports}), and the
 * path is printed.
 */
public final class VirtualPrinterExtension
        implements BeforeEachCallback, AfterEachCallback, ParameterResolver, TestWatcher {
    private static final ExtensionContext.Namespace NAMESPACE =
            ExtensionContext.Namespace.create(VirtualPrinterExtension.class);

    @Override
    public void beforeEach(ExtensionContext context) {
        VirtualPrinter.resetAll();
        WithPrinter options = optionsOf(context);
        String model = options == null || options.model().isEmpty()
                ? VirtualPrinter.modelNames().get(0) : options.model();
        VirtualPrinter printer = VirtualPrinter.plugIn(
                options == null ? VirtualPrinter.PRINTER_CLASS_DRIVER : options.driver(), model,
                options == null ? "TEST1" : options.serial());
        context.getStore(NAMESPACE).put(VirtualPrinter.class, printer);
    }

    // The last receipt is kept for testFailed, which runs after this, once the simulator is
    // reset; a receipt holds its own bytes.
    @Override
    public void afterEach(ExtensionContext context) {
        VirtualPrinter printer = context.getStore(NAMESPACE).get(VirtualPrinter.class, VirtualPrinter.class);
        if (printer != null) {
            try {
                Receipt last = printer.lastReceipt();
                if (last != null) context.getStore(NAMESPACE).put(Receipt.class, last);
            } catch (IllegalArgumentException gone) {
                // The test reset the simulator itself: its printer is gone, and its receipts.
            }
        }
        VirtualPrinter.resetAll();
    }

    @Override
    public boolean supportsParameter(ParameterContext parameter, ExtensionContext context) {
        return parameter.getParameter().getType() == VirtualPrinter.class;
    }

    @Override
    public Object resolveParameter(ParameterContext parameter, ExtensionContext context) {
        return context.getStore(NAMESPACE).get(VirtualPrinter.class, VirtualPrinter.class);
    }

    @Override
    public void testFailed(ExtensionContext context, Throwable cause) {
        Receipt last = context.getStore(NAMESPACE).get(Receipt.class, Receipt.class);
        if (last == null) return;
        Path dir = Paths.get(System.getProperty("printer.lab.reports", "build/printer-lab-reports"),
                context.getRequiredTestClass().getName());
        Path file = dir.resolve(context.getRequiredTestMethod().getName() + ".png");
        try {
            Files.createDirectories(dir);
            Files.write(file, last.png());
            System.err.println("printer lab: the last receipt of " + context.getDisplayName()
                    + " is in " + file.toAbsolutePath());
        } catch (IOException | IllegalStateException e) {
            System.err.println("printer lab: could not write " + file + ": " + e.getMessage());
        }
    }

    private static WithPrinter optionsOf(ExtensionContext context) {
        Optional<AnnotatedElement> method = context.getElement();
        if (method.isPresent() && method.get().isAnnotationPresent(WithPrinter.class)) {
            return method.get().getAnnotation(WithPrinter.class);
        }
        return context.getRequiredTestClass().getAnnotation(WithPrinter.class);
    }
}
