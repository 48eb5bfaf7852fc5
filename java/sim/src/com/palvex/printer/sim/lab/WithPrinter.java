package com.palvex.printer.sim.lab;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;
import org.junit.jupiter.api.extension.ExtendWith;

/**
 * A JUnit 5 test class or method whose tests get a fresh virtual printer: declare a
 * {@link VirtualPrinter} parameter. The simulator is reset before each test, and a test that
 * fails leaves the picture of the printer's last receipt beside its report
 * ({@link VirtualPrinterExtension}).
 */
@Target({ElementType.TYPE, ElementType.METHOD})
@Retention(RetentionPolicy.RUNTIME)
@ExtendWith(VirtualPrinterExtension.class)
public @interface WithPrinter {
    /** {@link VirtualPrinter#PRINTER_CLASS_DRIVER} or {@link VirtualPrinter#MAKER_DRIVER}. */
    int driver() default VirtualPrinter.PRINTER_CLASS_DRIVER;

    /** A model name or a part of one; empty: the first supported model. */
    String model() default "";

    String serial() default "TEST1";
}
