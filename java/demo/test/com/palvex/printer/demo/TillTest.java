package com.palvex.printer.demo;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.lab.Receipt;
import com.palvex.printer.sim.lab.VirtualPrinter;
import com.palvex.printer.sim.lab.WithPrinter;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * The demo till's own tests, as a till's developer writes them with the printer lab's JUnit
 * extension: each test gets a fresh virtual printer and looks at what it printed.
 */
@WithPrinter
class TillTest {
    private final Till till = new Till();

    @AfterEach
    void closeTheTill() {
        till.close();
    }

    @Test
    void aReceiptIsPrintedWholeAndCut(VirtualPrinter printer) {
        assertEquals(VirtualPrinter.PRINTER_CLASS_DRIVER, till.open());
        assertEquals(0, till.write(SampleReceipt.escpos(7, "")));
        Receipt receipt = printer.lastReceipt();
        assertTrue(receipt.cut());
        assertTrue(receipt.text().contains("Receipt 000007"), receipt.text());
        assertTrue(receipt.text().contains("T O T A L"), receipt.text());
    }

    @Test
    @WithPrinter(driver = VirtualPrinter.MAKER_DRIVER, model = "TR-90")
    void theTillSeesThePaperRunOutOnTheMakersDriverToo(VirtualPrinter printer) {
        assertEquals(VirtualPrinter.MAKER_DRIVER, till.open());
        assertEquals("Palvex TR-90 receipt printer", printer.model());
        assertFalse(till.paperOut());
        printer.paperOut();
        assertTrue(till.paperOut());
        printer.loadPaper();
        assertFalse(till.paperOut());
    }

    // After the cable is pulled in the middle of a receipt, the till reconnects and prints the
    // receipt again, whole, marked as a reprint.
    @Test
    void aReceiptCutOffByAPulledCableIsReprintedWhole(VirtualPrinter printer) throws Exception {
        assertEquals(VirtualPrinter.PRINTER_CLASS_DRIVER, till.open());
        com.palvex.printer.sim.SimulatedPrinters.unplugAfterBytes(printer.id(), 100);
        assertTrue(till.write(SampleReceipt.escpos(9, "")) != 0);
        printer.replug();
        assertTrue(till.open() >= 0);
        assertEquals(0, till.write(SampleReceipt.escpos(9, "*** REPRINT ***")));
        List<Receipt> receipts = printer.receipts();
        Receipt reprint = receipts.get(receipts.size() - 1);
        assertTrue(reprint.text().contains("*** REPRINT ***"), reprint.text());
        assertTrue(reprint.cut());
    }

    // A failing test leaves the picture of its last receipt beside the report.
    @Test
    void aFailingTestLeavesItsLastReceiptBesideTheReport() throws Exception {
        Path reports = Files.createTempDirectory("printer-lab-reports");
        System.setProperty("printer.lab.reports", reports.toString());
        try {
            var request = org.junit.platform.launcher.core.LauncherDiscoveryRequestBuilder.request()
                    .selectors(org.junit.platform.engine.discovery.DiscoverySelectors.selectClass(FailsOnPurpose.class))
                    .build();
            var listener = new org.junit.platform.launcher.listeners.SummaryGeneratingListener();
            org.junit.platform.launcher.core.LauncherFactory.create().execute(request, listener);
            assertEquals(1, listener.getSummary().getTestsFailedCount());
            Path picture = reports.resolve(FailsOnPurpose.class.getName()).resolve("printsThenFails.png");
            assertTrue(Files.size(picture) > 100, picture + " was not written");
        } finally {
            System.clearProperty("printer.lab.reports");
        }
    }

    /** Run only by the test above. */
    @WithPrinter
    static class FailsOnPurpose {
        @Test
        void printsThenFails(VirtualPrinter printer) {
            Till till = new Till();
            till.open();
            till.write(SampleReceipt.escpos(3, ""));
            till.close();
            assertEquals("a", "b", "fails on purpose, after printing");
        }
    }
}
