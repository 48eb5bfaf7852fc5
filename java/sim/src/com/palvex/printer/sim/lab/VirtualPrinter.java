package com.palvex.printer.sim.lab;

import com.palvex.printer.sim.ReceiptRenderer;
import com.palvex.printer.sim.SimulatedPrinters;
import java.io.ByteArrayOutputStream;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Deque;
import java.util.List;

/**
 * A simulated USB receipt printer, as a point-of-sale application's developer sees one: plug
 * it in, watch what it prints receipt by receipt, and do to it what happens to a printer on a
 * shop's counter (the paper runs out, the cover is opened, the cable is pulled). The
 * application drives it through VantoryUSB as it drives a real printer; this object is the
 * other side. The printer lab's agent, its panel and its JUnit extension all use it.
 *
 * <p>Its answers to the status requests DLE EOT 1 to 4 follow its state as an ESC/POS
 * printer's do. A printer that cannot print (paper out, cover open, off line, an error) keeps
 * what comes in its 4 KiB buffer and then takes no more: the application's writes wait (on
 * the maker's driver until the write timeouts set with usbSetCommTimeout run out). Once it
 * can print again it prints what waited, and nothing is lost.
 *
 * <p>Every method is safe from any thread. Its memory stays bounded however long it
 * prints: the receipts kept are the newest {@value #KEPT_RECEIPTS}, of at most
 * {@value #KEPT_RECEIPT_BYTES} bytes (older ones are folded away and only counted), and of
 * the bytes each way it keeps at least the newest {@value #KEPT_BYTES}.
 */
public final class VirtualPrinter {
    /** The maker's own USB driver serves the printer. */
    public static final int MAKER_DRIVER = SimulatedPrinters.MAKER_DRIVER;
    /** The Windows USB printer class driver serves the printer. */
    public static final int PRINTER_CLASS_DRIVER = SimulatedPrinters.PRINTER_CLASS_DRIVER;
    /** How many of the newest receipts a printer keeps. */
    public static final int KEPT_RECEIPTS = 200;
    /** How many bytes of receipts a printer keeps at most (the newest receipt always). */
    public static final int KEPT_RECEIPT_BYTES = 32 << 20;
    /** How many of the newest bytes each way {@link #traffic} keeps. */
    public static final int KEPT_TRAFFIC = 4096;
    /** How many of the newest bytes each way the simulator keeps at least. */
    public static final int KEPT_BYTES = 4 << 20;
    /**
     * The most printed bytes one look at the printer reads: all the simulator is sure to
     * still have, so that looks half a second apart miss nothing of an application that
     * prints several times as fast as a USB printer takes data. A look reads no further back
     * than the newest {@value #KEPT_RECEIPTS} receipts either: what an application printed
     * before those since the last look is folded away unread, and counted.
     */
    public static final int MAX_LOOK_BYTES = KEPT_BYTES;
    /**
     * The longest strip of paper printed without a cut that is one receipt: a longer one is
     * shown in pieces, each ending at a line feed where there is one.
     */
    public static final int MAX_STRIP_BYTES = 1 << 20;
    /** The most lines one piece of such a strip holds. */
    public static final int MAX_STRIP_LINES = 500;

    private final int id;
    private final int driverKind;
    private final String model;
    private final String serial;

    // Guarded by this: what was printed, read so far from the simulator and cut into receipts.
    private long printedSeen;
    private final ByteArrayOutputStream printing = new ByteArrayOutputStream();
    private byte[] printingModes = new byte[0];  // the print modes in force where `printing` begins
    private final Deque<Receipt> receipts = new ArrayDeque<>();
    private int receiptsCut;
    private int receiptsNumbered;  // receipts cut and pieces of long strips
    private long receiptBytes;     // of the receipts kept
    private boolean skippingToCut;
    private long cutsSeen;         // the printer's cuts in what was read or passed over
    private long receivedSeen;
    private long deliveredSeen;
    private final Tail toPrinter = new Tail(KEPT_TRAFFIC);
    private final Tail toHost = new Tail(KEPT_TRAFFIC);

    private VirtualPrinter(int id, int driverKind, String model, String serial) {
        this.id = id;
        this.driverKind = driverKind;
        this.model = model;
        this.serial = serial;
    }

    /** A TR-80 receipt printer on the printer class driver, serial "LAB1". */
    public static VirtualPrinter plugIn() {
        return plugIn(PRINTER_CLASS_DRIVER, modelNames().get(0), "LAB1");
    }

    /**
     * Plugs in a printer. {@code model} is one of {@link #modelNames}, or a part of one
     * ("TR-80" is the first model whose name contains it), in any case.
     */
    public static VirtualPrinter plugIn(int driverKind, String model, String serial) {
        List<String> names = modelNames();
        int index = -1;
        String wanted = model.toLowerCase(java.util.Locale.ROOT);
        for (int i = 0; i < names.size() && index < 0; i++) {
            if (names.get(i).toLowerCase(java.util.Locale.ROOT).equals(wanted)) index = i;
        }
        for (int i = 0; i < names.size() && index < 0; i++) {
            if (names.get(i).toLowerCase(java.util.Locale.ROOT).contains(wanted)) index = i;
        }
        if (index < 0) throw new IllegalArgumentException("no printer model " + model + "; there are " + names);
        int pair = SimulatedPrinters.supportedIds()[index];
        int id = SimulatedPrinters.attach(driverKind, pair >>> 16, pair & 0xFFFF, serial);
        SimulatedPrinters.keepRecent(id, KEPT_BYTES);
        return new VirtualPrinter(id, driverKind, names.get(index), serial);
    }

    /** The supported models, for {@link #plugIn(int, String, String)}. */
    public static List<String> modelNames() {
        return List.of(SimulatedPrinters.modelNames());
    }

    /** Removes every printer and every fault: a clean simulator, as after the process began. */
    public static void resetAll() {
        SimulatedPrinters.reset();
    }

    /** Its id among the simulated printers (see {@link SimulatedPrinters}). */
    public int id() {
        return id;
    }

    /** {@link #MAKER_DRIVER} or {@link #PRINTER_CLASS_DRIVER}. */
    public int driverKind() {
        return driverKind;
    }

    public String model() {
        return model;
    }

    public String serial() {
        return serial;
    }

    // --- Its state -------------------------------------------------------------------------

    public PrinterState state() {
        return PrinterState.fromBits(SimulatedPrinters.state(id), SimulatedPrinters.isPresent(id));
    }

    // Sets the state bits `mask` selects to `bits`, in one step with what the printer
    // changes itself (the application's drawer kick).
    private void change(int mask, int bits) {
        SimulatedPrinters.changeState(id, mask, bits);
    }

    /** The cable is pulled: the application's calls on it fail, as they do on a till. */
    public void unplug() {
        SimulatedPrinters.detach(id);
    }

    /**
     * The cable is plugged back in; nothing happens to a printer that is plugged in. What
     * waited in its buffer is still there: the printer has its own power.
     */
    public void replug() {
        synchronized (this) {
            if (!SimulatedPrinters.isPresent(id)) SimulatedPrinters.reattach(id);
        }
    }

    public void paperNearEnd() {
        change(PrinterState.PAPER, Paper.NEAR_END.ordinal());
    }

    /** The paper runs out: the printer stops printing. */
    public void paperOut() {
        change(PrinterState.PAPER, Paper.OUT.ordinal());
    }

    /** A new roll: the printer prints again, first what waited. */
    public void loadPaper() {
        change(PrinterState.PAPER, Paper.PRESENT.ordinal());
    }

    public void openCover() {
        change(PrinterState.COVER_OPEN, PrinterState.COVER_OPEN);
    }

    public void closeCover() {
        change(PrinterState.COVER_OPEN, 0);
    }

    public void takeOffline() {
        change(PrinterState.OFFLINE, PrinterState.OFFLINE);
    }

    public void bringOnline() {
        change(PrinterState.OFFLINE, 0);
    }

    /**
     * An error that clears itself once its cause is gone (the print head too hot, say): DLE
     * EOT 3 answers it in bit 6.
     */
    public void recoverableError() {
        change(PrinterState.RECOVERABLE_ERROR, PrinterState.RECOVERABLE_ERROR);
    }

    /** An error that needs the printer switched off and on: DLE EOT 3 answers it in bit 5. */
    public void unrecoverableError() {
        change(PrinterState.UNRECOVERABLE_ERROR, PrinterState.UNRECOVERABLE_ERROR);
    }

    /** The error is gone (or the printer was switched off and on). */
    public void clearErrors() {
        change(PrinterState.RECOVERABLE_ERROR | PrinterState.UNRECOVERABLE_ERROR, 0);
    }

    /**
     * Someone opens the cash drawer by hand; the application opens it with ESC p m t1 t2 in
     * its print data (as that prints) or with DLE DC4 1 m t (at once).
     */
    public void openDrawer() {
        change(PrinterState.DRAWER_OPEN, PrinterState.DRAWER_OPEN);
    }

    public void closeDrawer() {
        change(PrinterState.DRAWER_OPEN, 0);
    }

    /** Times the application kicked the drawer open. */
    public long drawerKicks() {
        return SimulatedPrinters.drawerPulses(id);
    }

    // --- What it printed --------------------------------------------------------------------

    /**
     * The receipts it printed, oldest first: the newest {@value #KEPT_RECEIPTS}, the last one
     * possibly still being printed (not cut yet). A receipt that follows receipts folded away
     * unread prints in the modes it sets itself.
     */
    public synchronized List<Receipt> receipts() {
        takeWhatWasPrinted();
        List<Receipt> all = new ArrayList<>(receipts);
        if (printing.size() > 0) all.add(new Receipt(receiptsNumbered + 1, printingModes, printing.toByteArray(), false));
        return all;
    }

    /** The newest receipt, or null before anything was printed. */
    public Receipt lastReceipt() {
        List<Receipt> all = receipts();
        return all.isEmpty() ? null : all.get(all.size() - 1);
    }

    /** Receipts cut so far, those folded away included: the printer counts every cut. */
    public synchronized int receiptsCut() {
        takeWhatWasPrinted();
        return receiptsCut;
    }

    /**
     * What the application wrote to it, in order (also what it has not printed yet): all of
     * it, or once that grew past {@value #KEPT_BYTES}, at least the newest that many bytes.
     */
    public byte[] received() {
        return SimulatedPrinters.received(id);
    }

    /** The printer plays its side: it sends these bytes to the application. */
    public void send(byte[] bytes) {
        SimulatedPrinters.send(id, bytes);
    }

    /** The newest bytes each way: to the printer, and to the application. */
    public synchronized Traffic traffic() {
        // Only the newest KEPT_TRAFFIC bytes each way are read: the printer's lock, which the
        // application's writes need too, is held no longer than copying those takes.
        long[] start = new long[1];
        SimulatedPrinters.receivedFrom(id, Long.MAX_VALUE, start);
        byte[] in = SimulatedPrinters.receivedFrom(id, Math.max(receivedSeen, start[0] - KEPT_TRAFFIC), start);
        receivedSeen = start[0] + in.length;
        toPrinter.add(in);
        SimulatedPrinters.delivered(id, Long.MAX_VALUE, start);
        byte[] out = SimulatedPrinters.delivered(id, Math.max(deliveredSeen, start[0] - KEPT_TRAFFIC), start);
        deliveredSeen = start[0] + out.length;
        toHost.add(out);
        return new Traffic(toPrinter.bytes(), receivedSeen, toHost.bytes(), deliveredSeen);
    }

    /** The newest bytes each way, and how many went each way in all. */
    public record Traffic(byte[] toPrinter, long toPrinterTotal, byte[] toHost, long toHostTotal) {}

    // Cuts what came since the last look into receipts at the printer's cuts. A look reads
    // at most the newest MAX_LOOK_BYTES, and no further back than the cut before the newest
    // KEPT_RECEIPTS receipts: what it passes over is counted (the printer counts its cuts)
    // but not kept, so a look costs no more when the application prints faster. Past such a
    // stretch the receipts begin again at a cut, in the modes they set themselves; a receipt
    // whose beginning was passed over, or let go by the simulator, is dropped. Each receipt
    // carries the print modes in force where it begins, as the printer keeps them across a
    // cut.
    private void takeWhatWasPrinted() {
        // A look starts over when the simulator let go of what it was about to read; that
        // takes a printer printing megabytes between two of the look's steps, twice is plenty.
        for (int attempt = 0; attempt < 3; attempt++) {
            if (readWhatWasPrinted()) return;
        }
    }

    // One look; false when it has to start over.
    private boolean readWhatWasPrinted() {
        long[] begins = new long[1];
        SimulatedPrinters.printed(id, Long.MAX_VALUE, begins);  // how much it printed in all
        long printedNow = begins[0];
        if (printedNow == printedSeen) return true;
        long[] count = new long[1];
        long[] ends = SimulatedPrinters.cutEnds(id, KEPT_RECEIPTS + 1, count);
        long lookFrom = Math.max(printedSeen, printedNow - MAX_LOOK_BYTES);
        if (lookFrom > printedSeen || count[0] - cutsSeen > KEPT_RECEIPTS || skippingToCut) {
            // Go on from the first cut the look reaches; with none, nothing printed so far
            // begins a receipt the look can keep.
            long firstCut = firstAtOrAfter(ends, Math.max(lookFrom, skippingToCut ? printedSeen + 1 : printedSeen));
            passOver(ends, count[0], firstCut >= 0 ? firstCut : printedNow, firstCut < 0);
            if (skippingToCut) return true;
        }
        byte[] fresh = SimulatedPrinters.printed(id, printedSeen, begins);
        if (begins[0] > printedSeen) {
            // The simulator let go of bytes before the look reached them: go on from the
            // first cut it still has (a cut end among those the printer tells counts exactly).
            ends = SimulatedPrinters.cutEnds(id, Integer.MAX_VALUE, count);
            long firstCut = firstAtOrAfter(ends, begins[0]);
            passOver(ends, count[0], firstCut >= 0 ? firstCut : begins[0], firstCut < 0);
            return false;
        }
        printedSeen += fresh.length;
        if (fresh.length > 0) cut(fresh);
        return true;
    }

    // The end of the first cut at or after `offset` among the newest cut ends, or -1.
    private static long firstAtOrAfter(long[] ends, long offset) {
        for (long end : ends) {
            if (end >= offset) return end;
        }
        return -1;
    }

    // The look goes on from `offset`, where a receipt begins or (`toNextCut`) in the middle
    // of one, which it drops; what it passed over is folded away, its cuts counted. `ends`
    // are the newest cut ends of `count` cuts in all, those after `offset` among them.
    private void passOver(long[] ends, long count, long offset, boolean toNextCut) {
        long after = 0;
        for (int i = ends.length - 1; i >= 0 && ends[i] > offset; i--) after++;
        long passed = Math.max(0, count - after - cutsSeen);
        receiptsCut += (int) passed;
        receiptsNumbered += (int) passed;
        cutsSeen += passed;
        printedSeen = offset;
        printing.reset();
        printingModes = new byte[0];
        skippingToCut = toNextCut;
    }

    // Cuts what the look read, following what it read before, into receipts.
    private void cut(byte[] fresh) {
        printing.writeBytes(fresh);
        byte[] pending = printing.toByteArray();
        int start = 0;
        int[] ends = ReceiptRenderer.receiptEnds(pending);
        // The modes after each of the cuts whose receipts are kept, in one pass over the modes
        // the first receipt began in and what came since; receipts before those are only
        // counted.
        byte[][] modes = ends.length == 0 ? new byte[0][]
                : ReceiptRenderer.modesAtCuts(concat(printingModes, pending), KEPT_RECEIPTS + 1);
        int firstWithModes = ends.length - modes.length;
        for (int i = 0; i < ends.length; i++) {
            boolean kept = firstWithModes == 0 || i > firstWithModes;  // the modes it began in are known
            receiptsCut++;
            if (kept) {
                keep(Arrays.copyOfRange(pending, start, ends[i]), true);
            } else {
                receiptsNumbered++;
            }
            if (i >= firstWithModes) printingModes = modes[i - firstWithModes];
            start = ends[i];
        }
        cutsSeen += ends.length;
        for (int end = stripPieceEnd(pending, start); end != start; end = stripPieceEnd(pending, start)) {
            if (end < 0) {
                // A command longer than a piece that never ends (an image whose length field
                // is wrong, say): the printer is lost until its next cut.
                start = pending.length;
                printingModes = new byte[0];
                skippingToCut = true;
                break;
            }
            keep(Arrays.copyOfRange(pending, start, end), false);
            start = end;
        }
        printing.reset();
        printing.write(pending, start, pending.length - start);
    }

    private static byte[] concat(byte[] first, byte[] second) {
        byte[] both = Arrays.copyOf(first, first.length + second.length);
        System.arraycopy(second, 0, both, first.length, second.length);
        return both;
    }

    // Keeps a receipt that began in the modes now in force; a piece of uncut paper leaves
    // the modes its end has for the next.
    private void keep(byte[] escpos, boolean cut) {
        receiptsNumbered++;
        Receipt receipt = new Receipt(receiptsNumbered, printingModes, escpos, cut);
        receipts.addLast(receipt);
        receiptBytes += escpos.length;
        while (receipts.size() > KEPT_RECEIPTS || (receiptBytes > KEPT_RECEIPT_BYTES && receipts.size() > 1)) {
            receiptBytes -= receipts.removeFirst().size();
        }
        if (!cut) printingModes = receipt.modesAtEnd();
    }

    // Where the first piece of a strip printed without a cut ends, from `start`: at the last
    // line end within MAX_STRIP_BYTES and MAX_STRIP_LINES lines, never inside a command;
    // `start` while the strip is short enough to stay whole, -1 when it is too long and has
    // no line end to cut it at.
    private static int stripPieceEnd(byte[] pending, int start) {
        int length = pending.length - start;
        if (length < MAX_STRIP_LINES) return start;  // every line takes a byte at least
        int[] ends = ReceiptRenderer.lineEnds(Arrays.copyOfRange(pending, start, pending.length));
        if (length <= MAX_STRIP_BYTES && ends.length < MAX_STRIP_LINES) return start;
        int piece = 0;
        for (int i = 0; i < ends.length && i < MAX_STRIP_LINES && ends[i] <= MAX_STRIP_BYTES; i++) piece = ends[i];
        if (piece > 0) return start + piece;
        return length > MAX_STRIP_BYTES ? -1 : start;
    }

    /** The newest bytes of a stream, at most a given number. */
    private static final class Tail {
        private final byte[] ring;
        private long total;

        Tail(int size) {
            ring = new byte[size];
        }

        void add(byte[] bytes) {
            for (byte b : bytes) ring[(int) (total++ % ring.length)] = b;
        }

        byte[] bytes() {
            int kept = (int) Math.min(total, ring.length);
            byte[] out = new byte[kept];
            for (int i = 0; i < kept; i++) out[i] = ring[(int) ((total - kept + i) % ring.length)];
            return out;
        }
    }
}
