package com.palvex.printer.sim.lab;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

/** Where the extension looks for the printer a test asked for. */
@WithPrinter(driver = VirtualPrinter.MAKER_DRIVER, serial = "OUTER7")
class WithPrinterTest {
    @Nested
    class NestedTests {
        @Test
        void takeThePrinterOfTheirEnclosingClass(VirtualPrinter printer) {
            assertEquals("OUTER7", printer.serial());
            assertEquals(VirtualPrinter.MAKER_DRIVER, printer.driverKind());
        }

        @Test
        @WithPrinter(serial = "INNER8")
        void takeTheirMethodsOwnFirst(VirtualPrinter printer) {
            assertEquals("INNER8", printer.serial());
            assertEquals(VirtualPrinter.PRINTER_CLASS_DRIVER, printer.driverKind());
        }
    }
}
