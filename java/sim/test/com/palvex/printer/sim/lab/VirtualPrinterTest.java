package com.palvex.printer.sim.lab;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.PortHandles;
import com.palvex.printer.UsbPort;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** The printer model as an application meets it: through the port it opens. */
@WithPrinter
class VirtualPrinterTest {
    private final UsbPort port = new UsbPort();
    private final PortHandles handles = new PortHandles();

    @AfterEach
    void close() {
        if (handles.hWritePort != 0) port.usbClosePipe(handles.hWritePort);
        if (handles.hReadPort != 0) port.usbClosePipe(handles.hReadPort);
    }

    private void open(int kind) {
        assertEquals(kind, port.usbInitPipe(handles, port.usbGetGenericWriteValue()));
        assertEquals(kind, port.usbInitPipe(handles, port.usbGetGenericReadValue()));
        if (kind == VirtualPrinter.MAKER_DRIVER) {
            assertEquals(0, port.usbSetCommTimeout(handles.hReadPort, 0, 0, 500, 0, 0));
        }
    }

    private int status(int n) {
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {0x10, 0x04, (byte) n}));
        byte[] reply = new byte[1];
        for (int attempt = 0; attempt < 5; attempt++) {
            if (port.usbReadInputPipe(handles.hReadPort, reply) == 1) return reply[0] & 0xFF;
        }
        return -1;
    }

    // What the application reads for each control, bit by bit as the ESC/POS reference has it.
    @Test
    void eachControlShowsInTheStatusTheApplicationReads(VirtualPrinter printer) {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        assertEquals(List.of(0x12, 0x12, 0x12, 0x12), List.of(status(1), status(2), status(3), status(4)));
        printer.paperNearEnd();
        assertEquals(0x1E, status(4));
        printer.paperOut();
        assertEquals(0x7E, status(4));
        assertEquals(0x32, status(2));
        assertEquals(0x1A, status(1));
        printer.loadPaper();
        printer.openCover();
        assertEquals(0x16, status(2));
        printer.closeCover();
        printer.takeOffline();
        assertEquals(0x1A, status(1));
        printer.bringOnline();
        printer.recoverableError();
        assertEquals(0x52, status(3));
        printer.unrecoverableError();
        assertEquals(0x72, status(3));
        printer.clearErrors();
        printer.openDrawer();
        assertEquals(0x16, status(1));
        printer.closeDrawer();
        assertEquals(List.of(0x12, 0x12, 0x12, 0x12), List.of(status(1), status(2), status(3), status(4)));
        assertTrue(printer.state().prints());
    }

    // Paper out stops the printing: the status says so, a job larger than the printer's
    // buffer waits in the application's write, and once paper is loaded it prints in full,
    // byte for byte.
    @Test
    void paperOutHoldsTheWriteAndLoadingPaperPrintsEverything(VirtualPrinter printer) throws Exception {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        printer.paperOut();
        assertEquals(0x7E, status(4));
        byte[] job = new byte[10_000];
        for (int i = 0; i < job.length; i++) job[i] = (byte) ('A' + i % 26);
        CompletableFuture<Integer> write = CompletableFuture.supplyAsync(
                () -> port.usbWriteOutputPipe(handles.hWritePort, job));
        Thread.sleep(300);
        assertFalse(write.isDone(), "the write waits while the paper is out");
        printer.loadPaper();
        assertEquals(0, write.get(10, TimeUnit.SECONDS));
        byte[] printed = printer.lastReceipt().escpos();
        // The status request went before the job.
        assertArrayEquals(job, Arrays.copyOfRange(printed, printed.length - job.length, printed.length));
    }

    // The maker's driver ends a write to a printer that takes nothing by its write timeouts:
    // the application learns that the data did not go, instead of waiting.
    @Test
    @WithPrinter(driver = VirtualPrinter.MAKER_DRIVER)
    void onTheMakersDriverWriteTimeoutsEndAWriteTheCoverHolds(VirtualPrinter printer) {
        open(VirtualPrinter.MAKER_DRIVER);
        assertEquals(0, port.usbSetCommTimeout(handles.hWritePort, -1, 0, 0, 0, 200));
        printer.openCover();
        assertEquals(29, port.usbWriteOutputPipe(handles.hWritePort, new byte[6000]));
        printer.closeCover();
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'x'}));
    }

    // Receipts are cut apart where the printer cut the paper; DLE DC4 kicks the drawer open;
    // a pulled cable and its replug show in the state.
    @Test
    void receiptsDrawerAndCable(VirtualPrinter printer) {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        byte[] two = {'o', 'n', 'e', '\n', 0x1D, 'V', 1, 't', 'w', 'o', '\n', 0x1D, 'V', 1, 't', 'h'};
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, two));
        List<Receipt> receipts = printer.receipts();
        assertEquals(3, receipts.size());
        assertTrue(receipts.get(0).text().startsWith("one\n"));
        assertTrue(receipts.get(1).cut());
        assertFalse(receipts.get(2).cut(), "the last one is still being printed");
        assertEquals(2, printer.receiptsCut());
        assertTrue(receipts.get(0).png().length > 100);

        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {0x10, 0x14, 1, 0, 1}));
        assertTrue(printer.state().drawerOpen());
        assertEquals(1, printer.drawerKicks());

        printer.unplug();
        assertFalse(printer.state().pluggedIn());
        printer.replug();
        assertTrue(printer.state().pluggedIn());
    }

    // A panel's change and the application's own effect on the printer never undo each
    // other; a click on "replug" for a printer that is plugged in, or a pulled cable, never
    // loses what waits in the printer's buffer.
    @Test
    void controlsNeverUndoWhatThePrinterDidOrLoseWhatItHolds(VirtualPrinter printer) throws Exception {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        CompletableFuture<Void> clicks = CompletableFuture.runAsync(() -> {
            for (int i = 0; i < 20_000; i++) {
                if (i % 2 == 0) printer.paperNearEnd(); else printer.loadPaper();
            }
        });
        int closedAfterAKick = 0;
        while (!clicks.isDone()) {
            printer.closeDrawer();
            assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {0x10, 0x14, 1, 0, 1}));
            if (!printer.state().drawerOpen()) closedAfterAKick++;
        }
        clicks.get(30, TimeUnit.SECONDS);
        assertEquals(0, closedAfterAKick, "a change of the paper undid the application's drawer kick");

        printer.loadPaper();
        printer.paperOut();
        byte[] held = "HELD RECEIPT\n".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, held));
        printer.replug();
        assertTrue(printer.state().pluggedIn());
        printer.unplug();
        printer.replug();
        printer.loadPaper();
        assertTrue(new String(printer.lastReceipt().escpos(), java.nio.charset.StandardCharsets.US_ASCII)
                .endsWith("HELD RECEIPT\n"), "what the printer took is printed");
    }

    // An application that prints for days: the printer keeps its newest receipts and bytes
    // only, and what it keeps is whole (a receipt whose beginning it let go of is dropped).
    @Test
    void aPrinterThatPrintsForLongStaysSmall(VirtualPrinter printer) {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        // A hundred receipts between two looks are all there, numbered from the first.
        for (int i = 1; i <= 100; i++) {
            byte[] one = (String.format("RECEIPT %d\n", i) + "x".repeat(7000) + "\n\u001dV\u0001")
                    .getBytes(java.nio.charset.StandardCharsets.US_ASCII);
            assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, one));
        }
        assertEquals(100, printer.receiptsCut());
        assertTrue(printer.receipts().get(0).text().startsWith("RECEIPT 1\n"), printer.receipts().get(0).text().substring(0, 12));
        assertEquals(100, printer.receipts().size());
        // Large receipts (pictures, say), so that the newest bytes hold fewer receipts than
        // are kept, and what is let go of ends inside one.
        byte[] receipt = new byte[100_003];
        Arrays.fill(receipt, (byte) 'x');
        int receipts = 3 * VirtualPrinter.KEPT_BYTES / receipt.length;
        for (int i = 1; i <= receipts; i++) {
            byte[] number = String.format("%08d\n", i).getBytes(java.nio.charset.StandardCharsets.US_ASCII);
            System.arraycopy(number, 0, receipt, 0, number.length);
            receipt[receipt.length - 3] = 0x1D;
            receipt[receipt.length - 2] = 'V';
            receipt[receipt.length - 1] = 1;
            assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, receipt));
        }
        List<Receipt> kept = printer.receipts();
        assertTrue(kept.size() <= VirtualPrinter.KEPT_RECEIPTS, "kept " + kept.size());
        assertTrue(printer.received().length <= 2 * VirtualPrinter.KEPT_BYTES);
        assertEquals(100 + receipts, printer.receiptsCut(), "every cut is counted, those folded away too");
        Receipt last = kept.get(kept.size() - 1);
        assertTrue(last.cut());
        assertTrue(last.text().startsWith(String.format("%08d\n", receipts)), last.text().substring(0, 20));
        assertArrayEquals(receipt, last.escpos());
        for (Receipt each : kept) {
            if (!each.text().startsWith("RECEIPT")) assertEquals(receipt.length, each.escpos().length, "a receipt is whole");
        }
    }

    // A look far behind the printer reads no more than the newest receipts it keeps, and still
    // counts and numbers every one; the receipts it keeps are the newest, whole and in order.
    @Test
    void aLookFarBehindCountsEveryReceiptAndKeepsTheNewest(VirtualPrinter printer) {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        // More receipts than are kept, and more bytes than a look reads.
        int printed = 3 * VirtualPrinter.KEPT_RECEIPTS + 7;
        String lines = ("x".repeat(40) + "\n").repeat(2 * VirtualPrinter.MAX_LOOK_BYTES / printed / 41);
        java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
        for (int i = 1; i <= printed; i++) {
            all.writeBytes(("R" + i + "\n" + lines + "\u001dV\u0001").getBytes(java.nio.charset.StandardCharsets.US_ASCII));
        }
        assertTrue(all.size() > VirtualPrinter.MAX_LOOK_BYTES);
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, all.toByteArray()));
        List<Receipt> kept = printer.receipts();
        assertEquals(printed, printer.receiptsCut());
        assertEquals(VirtualPrinter.KEPT_RECEIPTS, kept.size());
        for (int k = 0; k < kept.size(); k++) {
            int number = printed - kept.size() + 1 + k;
            assertEquals(number, kept.get(k).number());
            assertEquals("R" + number + "\n", kept.get(k).text().lines().findFirst().orElse("") + "\n");
        }
        // Printing goes on where the look left off.
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, "last\n\u001dV\u0001".getBytes(java.nio.charset.StandardCharsets.US_ASCII)));
        assertEquals(printed + 1, printer.receiptsCut());
        assertEquals(printed + 1, printer.lastReceipt().number());
        assertTrue(printer.lastReceipt().text().startsWith("last\n"));

        // Large receipts: a look reads the newest MAX_LOOK_BYTES, the receipts whole in them.
        byte[] large = new byte[100_003];
        Arrays.fill(large, (byte) '\n');
        large[large.length - 3] = 0x1D;
        large[large.length - 2] = 'V';
        large[large.length - 1] = 1;
        int whole = VirtualPrinter.MAX_LOOK_BYTES / large.length;
        int larges = whole + 10;
        for (int i = 0; i < larges; i++) assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, large));
        List<Receipt> newest = printer.receipts();
        assertEquals(printed + 1 + larges, printer.receiptsCut());
        assertEquals(printed + 1 + larges - whole + 1, newest.get(newest.size() - whole).number());
        assertEquals(printed + 1, newest.get(newest.size() - whole - 1).number(), "the receipts passed over are not kept");
    }

    // A receipt prints in the modes the printer was left in before the cut, and a strip that
    // is never cut is kept in pieces small enough to draw, with nothing lost between them.
    @Test
    void receiptsPrintInTheModesTheyBeganInAndAStripWithoutACutComesInPieces(VirtualPrinter printer) {
        open(VirtualPrinter.PRINTER_CLASS_DRIVER);
        byte[] big = {0x1B, 'a', 1, 0x1D, '!', 0x10, 'a', 'b', '\n', 0x1D, 'V', 1, 'c', 'd', '\n', 0x1D, 'V', 1};
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, big));
        List<Receipt> receipts = printer.receipts();
        assertEquals(receipts.get(0).text().replace("a b", "c d"), receipts.get(1).text(),
                "the second receipt is as wide and as centred as the first");

        StringBuilder strip = new StringBuilder("\u001b@");  // back to the modes of a printer switched on
        for (int i = 0; i < 2 * VirtualPrinter.MAX_STRIP_LINES + 100; i++) strip.append("line ").append(i).append('\n');
        byte[] bytes = strip.toString().getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, bytes));
        List<Receipt> pieces = printer.receipts();
        pieces = pieces.subList(2, pieces.size());
        assertEquals(3, pieces.size());
        java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
        for (Receipt piece : pieces) {
            assertFalse(piece.cut());
            assertTrue(piece.png().length > 0);
            all.writeBytes(piece.escpos());
        }
        assertArrayEquals(bytes, all.toByteArray());
        assertTrue(pieces.get(1).text().startsWith("line " + VirtualPrinter.MAX_STRIP_LINES + "\n"));

        // An image whose data is all line feeds, looked at while it prints, is no strip.
        byte[] logo = new byte[8 + 9 * 60];
        System.arraycopy(new byte[] {0x1D, 'v', '0', 0, 9, 0, 60, 0}, 0, logo, 0, 8);
        java.util.Arrays.fill(logo, 8, logo.length, (byte) '\n');
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, logo));
        int before = printer.receipts().size();
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'T', '\n', 0x1D, 'V', 1}));
        List<Receipt> after = printer.receipts();
        assertEquals(before, after.size(), "the receipt in progress was cut, not split");
        assertTrue(after.get(after.size() - 1).cut());
        assertTrue(after.get(after.size() - 1).text().contains("[image 72x60]"), after.get(after.size() - 1).text());
    }

    @Test
    void optionsOfTheAgent() {
        LabOptions defaults = LabOptions.parse(null);
        assertEquals(VirtualPrinter.PRINTER_CLASS_DRIVER, defaults.driverKind());
        assertEquals("LAB1", defaults.serial());
        LabOptions given = LabOptions.parse("driver=maker,model=TR-90,serial=T7,port=8123");
        assertEquals(new LabOptions(VirtualPrinter.MAKER_DRIVER, "TR-90", "T7", 8123), given);
        for (String bad : new String[] {"driver=usb", "port=70000", "port=eighty", "colour=red", "serial"}) {
            org.junit.jupiter.api.Assertions.assertThrows(IllegalArgumentException.class,
                    () -> LabOptions.parse(bad), bad);
        }
        assertEquals(new LabOptions(VirtualPrinter.MAKER_DRIVER, null, "LAB1", 0),
                LabOptions.parse("driver=maker,,serial=,port= ,"));
    }

    // The agent never keeps the application from starting: a bad option, a model named in
    // another case or a port in use each give way to what works, and it says so.
    @Test
    void theAgentStartsWhateverItIsGiven() throws Exception {
        java.io.PrintStream stderr = System.err;
        java.io.ByteArrayOutputStream said = new java.io.ByteArrayOutputStream();
        try (java.net.ServerSocket taken = new java.net.ServerSocket(0, 1, java.net.InetAddress.getLoopbackAddress())) {
            System.setErr(new java.io.PrintStream(said, true, java.nio.charset.StandardCharsets.UTF_8));
            String model = VirtualPrinter.modelNames().get(0).toLowerCase(java.util.Locale.ROOT);
            for (String options : new String[] {"colour=red", "model=" + model + ",port=" + taken.getLocalPort(), "model=XZ-1"}) {
                try (LabPanel panel = LabAgent.start(options)) {
                    assertTrue(panel.address().startsWith("http://127.0.0.1:"), options);
                }
            }
        } finally {
            System.setErr(stderr);
        }
        String text = said.toString(java.nio.charset.StandardCharsets.UTF_8);
        assertTrue(text.contains("no option colour"), text);
        assertTrue(text.contains("is in use; the panel takes a free one"), text);
        assertTrue(text.contains("no printer model XZ-1"), text);
        assertFalse(text.contains("not started"), text);
    }
}
