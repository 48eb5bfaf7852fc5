package com.palvex.printer.sim.lab;

import java.io.IOException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Optional;
import java.util.concurrent.locks.ReentrantLock;
import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;
import org.junit.jupiter.api.extension.ParameterContext;
import org.junit.jupiter.api.extension.ParameterResolver;
import org.junit.jupiter.api.extension.TestWatcher;
import org.junit.platform.commons.support.AnnotationSupport;

/**
 * Gives each test a fresh {@link VirtualPrinter}, with {@code @ExtendWith} or
 * {@link WithPrinter}: the simulator is reset before and after each test, and the printer is
 * plugged in as {@link WithPrinter} says (the printer class driver, the first model, by
 * default). When a test fails, the picture of the printer's last receipt is written to
 * {@code <reports>/<test class>/<test method>.png}, where {@code <reports>} is the system
 * property {@code printer.lab.reports} (default {@code build/printer-lab-reports}), and the
 * path is printed (a repeated or parameterized test's invocations each have a picture of their
 * own, named after the method and the invocation's display name).
 *
 * <p>The simulator is one per process, so tests that use it run one at a time, even when
 * JUnit runs tests in parallel: each holds the simulator from before it starts until it has
 * ended. A printer parameter is given to test methods, {@code @BeforeEach} and
 * {@code @AfterEach} methods; a constructor or a {@code static} method runs outside any
 * test's printer and gets none. {@link WithPrinter} on a method, on its class or on a class
 * that encloses it ({@code @Nested}) says which printer, the nearest first.
 */
public final class VirtualPrinterExtension
        implements BeforeEachCallback, AfterEachCallback, ParameterResolver, TestWatcher {
    private static final ExtensionContext.Namespace NAMESPACE =
            ExtensionContext.Namespace.create(VirtualPrinterExtension.class);
    /**
     * Held by the test that uses the simulator, from before it starts until it has ended, on
     * the thread that runs it; a test that runs other tests on its own thread (through
     * JUnit's launcher) lets them in.
     */
    private static final ReentrantLock SIMULATOR = new ReentrantLock(true);
    private static final String HOLDS_SIMULATOR = "holds the simulator";

    @Override
    public void beforeEach(ExtensionContext context) throws InterruptedException {
        SIMULATOR.lockInterruptibly();
        context.getStore(NAMESPACE).put(HOLDS_SIMULATOR, Boolean.TRUE);
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
        try {
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
        } finally {
            // Whatever failed above, the next test gets the simulator.
            if (context.getStore(NAMESPACE).remove(HOLDS_SIMULATOR) != null && SIMULATOR.isHeldByCurrentThread()) {
                SIMULATOR.unlock();
            }
        }
    }

    @Override
    public boolean supportsParameter(ParameterContext parameter, ExtensionContext context) {
        return parameter.getParameter().getType() == VirtualPrinter.class
                && parameter.getDeclaringExecutable() instanceof Method method
                && !Modifier.isStatic(method.getModifiers());
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
        Path file = dir.resolve(pictureName(context));
        try {
            Files.createDirectories(dir);
            Files.write(file, last.png());
            System.err.println("printer lab: the last receipt of " + context.getDisplayName()
                    + " is in " + file.toAbsolutePath());
        } catch (IOException | IllegalStateException e) {
            System.err.println("printer lab: could not write " + file + ": " + e.getMessage());
        }
    }

    // <method>.png, or for one invocation of a repeated or parameterized test,
    // <method>-<its display name>.png, with what a file name cannot hold replaced.
    static String pictureName(ExtensionContext context) {
        String method = context.getRequiredTestMethod().getName();
        // An invocation's parent is its repeated or parameterized test, which has the method
        // too; its number makes the name unique, its display name makes it readable.
        boolean invocation = context.getParent().flatMap(ExtensionContext::getTestMethod).isPresent();
        java.util.regex.Matcher number = java.util.regex.Pattern.compile("invocation:#(\\d+)\\]$")
                .matcher(context.getUniqueId());
        String name = invocation
                ? method + "-" + (number.find() ? number.group(1) + "-" : "") + context.getDisplayName()
                : method;
        String safe = name.replaceAll("[^A-Za-z0-9._\\-\\[\\] ]", "_");
        return (safe.length() > 150 ? safe.substring(0, 150) : safe) + ".png";
    }

    private static WithPrinter optionsOf(ExtensionContext context) {
        Optional<WithPrinter> onMethod = AnnotationSupport.findAnnotation(context.getElement(), WithPrinter.class);
        if (onMethod.isPresent()) return onMethod.get();
        for (Class<?> type = context.getRequiredTestClass(); type != null; type = type.getEnclosingClass()) {
            Optional<WithPrinter> onClass = AnnotationSupport.findAnnotation(type, WithPrinter.class);
            if (onClass.isPresent()) return onClass.get();
        }
        return null;
    }
}
