package com.palvex.printer.sim;

/**
 * Control of the simulated printers that stand in for USB receipt printers when VantoryUSB
 * runs on a Linux host: plug printers in and out, play what they send, see what they were
 * sent, and arm faults. Only the host build of the library carries these natives.
 *
 * <p>Printer ids are small positive integers; a call with an id that names no printer
 * throws {@link IllegalArgumentException}, and so does an argument out of its range. Every
 * method is safe to call from any thread at any time.
 */
public final class SimulatedPrinters {
    /** Driver kind of a printer served by the maker's own USB driver. */
    public static final int MAKER_DRIVER = 0;
    /** Driver kind of a printer served by the Windows USB printer class driver. */
    public static final int PRINTER_CLASS_DRIVER = 1;
    /** Read mode: reads pend until the printer sends (the default). */
    public static final int READS_PEND_UNTIL_DATA = 0;
    /** Read mode: a read that finds nothing completes at once with 0 bytes. */
    public static final int READS_COMPLETE_AT_ONCE = 1;
    /**
     * Read mode of a real driver: every read is queued and reported pending, and its outcome
     * (bytes, an armed failure, a removal) arrives at its completion.
     */
    public static final int READS_QUEUED = 2;
    /**
     * Read mode of a printer that answers every poll it has nothing for with a zero-length
     * packet: reads are queued, and an idle one completes with 0 bytes a moment later.
     */
    public static final int READS_QUEUED_ZERO_LENGTH = 3;

    static {
        System.loadLibrary("VantoryUSB");
    }

    private SimulatedPrinters() {}

    /** Plugs in a printer; a null or empty serial gets one made up. Returns its id. */
    public static native int attach(int driverKind, int vendorId, int productId, String serial);

    /** Surprise removal: its open handles fail, pending reads complete, opens fail. */
    public static native void detach(int id);

    /** Plugs it in again under its path; handles opened before stay dead. */
    public static native void reattach(int id);

    /**
     * Plugs it in again under another serial, and so another device path: to the library it
     * is another printer (a serial with {@code '&'} in it stands for a printer without a
     * serial in another USB port).
     */
    public static native void reattach(int id, String serial);

    /** No printers, no faults, debug output cleared; ids start again at 1. */
    public static native void reset();

    /** The printer sends bytes to the host. */
    public static native void send(int id, byte[] data);

    /** Everything the host wrote to the printer so far, in order. */
    public static native byte[] received(int id);

    /** The next {@code count} reads fail with {@code win32Error}; 0 disarms. */
    public static native void failNextReads(int id, int win32Error, int count);

    /** The next {@code count} opens fail with {@code win32Error}; 0 disarms. */
    public static native void failNextOpens(int id, int win32Error, int count);

    /**
     * Its reply to DLE EOT n (n = 1..4), one byte, whatever its state says; -1 lets the state
     * answer again (see {@link #setState}).
     */
    public static native void setStatusByte(int id, int n, int value);

    /**
     * Its state, as bits: the paper in bits 0 and 1 (0 present, 1 near its end, 2 out), then
     * bit 2 the cover open, bit 3 off line, bit 4 an error that recovers, bit 5 one that does
     * not, bit 6 the cash drawer open. Its replies to DLE EOT 1 to 4 follow from it, and a
     * printer that cannot print (paper out, cover open, off line, an error) takes no more data
     * once its 4 KiB buffer is full. {@code com.palvex.printer.sim.lab.VirtualPrinter} gives
     * this a name for each control.
     */
    public static native int state(int id);

    /**
     * Changes the bits of its state that {@code mask} selects to those of {@code bits}, in
     * one step with whatever the printer itself changes (a drawer kick from the application
     * between a look and a change is never lost); a state that prints again prints what
     * waited. {@code changeState(id, -1, bits)} sets the whole state.
     */
    public static native void changeState(int id, int mask, int bits);

    /** Whether it is plugged in. */
    public static native boolean isPresent(int id);

    /** Times its cash drawer was kicked open (DLE DC4 1 m t). */
    public static native long drawerPulses(int id);

    /**
     * Where the newest of the cuts it made as it printed end (ESC i, ESC m, GS V in a cut
     * mode), as offsets into what it printed (see {@link #printed}), oldest first: at most
     * {@code most} of them, and at most the newest 256. {@code count} (may be null; one
     * element) gets how many cuts it made in all.
     */
    public static native long[] cutEnds(int id, int most, long[] count);

    /**
     * What it printed from byte {@code from} on, counted from the first it ever printed. A
     * printer told to {@link #keepRecent} leaves out what it no longer keeps: {@code start}
     * (may be null; one element) gets the offset the answer begins at.
     */
    public static native byte[] printed(int id, long from, long[] start);

    /** What it sent that the host read, in order, from byte {@code from} on (as {@link #printed}). */
    public static native byte[] delivered(int id, long from, long[] start);

    /** What the host wrote to it, from byte {@code from} on (as {@link #printed}). */
    public static native byte[] receivedFrom(int id, long from, long[] start);

    /**
     * From now on it keeps at least the newest {@code bytes} of what it received, printed
     * and sent (0: everything, as at first), so that a printer that prints for days stays
     * small. {@link #received(int)} then answers only those.
     */
    public static native void keepRecent(int id, long bytes);

    /** The model names of the supported printers, in the order of {@link #supportedIds}. */
    public static native String[] modelNames();

    /**
     * How the printer class driver's reads behave: {@link #READS_PEND_UNTIL_DATA} (the
     * default), {@link #READS_COMPLETE_AT_ONCE}, {@link #READS_QUEUED} or
     * {@link #READS_QUEUED_ZERO_LENGTH}. The maker's driver times its reads by the serial
     * timeouts set with usbSetCommTimeout in every mode.
     */
    public static native void setReadMode(int id, int mode);

    /** A printer with its cover open: writes wait until {@link #releaseWrites} or removal. */
    public static native void stallWrites(int id);

    /** Lets stalled writes go on. */
    public static native void releaseWrites(int id);

    /**
     * The cable is pulled in the middle of a receipt: the printer takes {@code bytes} more
     * bytes of writes and is then unplugged; the write that reaches the count fails.
     */
    public static native void unplugAfterBytes(int id, int bytes);

    /** Debugger output lines since the last call, without their line ends. */
    public static native String[] takeDebugOutput();

    /**
     * The newest {@code most} debugger output lines since the last call, without their line
     * ends; the older ones are let go, and {@code left[0]} (when {@code left} is not null)
     * gets how many. Taking only what will be shown keeps the cost of a look bounded however
     * much the library traces.
     */
    public static native String[] takeDebugOutput(int most, long[] left);

    /** The vendor/product pairs the library accepts, as (vid << 16) | pid. */
    public static native int[] supportedIds();

    /** Handles open in the Win32 stand-in right now, for leak checks. */
    public static native int openHandleCount();
}
