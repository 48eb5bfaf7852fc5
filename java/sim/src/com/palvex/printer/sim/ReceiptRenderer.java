package com.palvex.printer.sim;

/**
 * What a simulated receipt printer printed, from the ESC/POS bytes it received (for example
 * {@link SimulatedPrinters#received}): as text for a terminal, or as a picture of the paper.
 * The printer is an 80 mm one with font A, 48 columns wide. Only the host build of the
 * library carries these natives.
 */
public final class ReceiptRenderer {
    /** Columns of the paper at normal character width. */
    public static final int PAPER_COLUMNS = 48;

    static {
        System.loadLibrary("VantoryUSB");
    }

    private ReceiptRenderer() {}

    /**
     * One line per printed line, each ended by a newline, aligned within
     * {@link #PAPER_COLUMNS}; a cut shows as a dashed line marked "(cut)".
     */
    public static native String renderText(byte[] escpos);

    /**
     * Writes the receipt as a PNG image of the paper at {@code path}. Returns false when the
     * font is missing or the file cannot be written; {@link #lastError} then says why.
     */
    public static native boolean renderPng(byte[] escpos, String path);

    /** The receipt as the bytes of a PNG image, or null when it cannot be drawn. */
    public static native byte[] renderPngBytes(byte[] escpos);

    /**
     * Where each receipt ends in an ESC/POS stream: the offset just past each cut command. A
     * receipt runs from the end of the one before to its cut.
     */
    public static native int[] receiptEnds(byte[] escpos);

    /**
     * Where each printed line ends in an ESC/POS stream, in order (a line still in the line
     * buffer at the end has not ended): cut there, the stream is never cut inside a command.
     */
    public static native int[] lineEnds(byte[] escpos);

    /**
     * The commands that restore the print modes in force at the end of an ESC/POS stream
     * (font, bold, underline, size, alignment, margins, code table, ...) and what the printer
     * stored (images, codes to print). A printer keeps its modes across a cut: a receipt
     * cut out of a longer stream prints as it did there with these before it.
     */
    public static native byte[] modesAtEnd(byte[] escpos);

    /**
     * {@link #modesAtEnd} of the stream up to each of its last {@code last} cuts, in order,
     * in one pass.
     */
    public static native byte[][] modesAtCuts(byte[] escpos, int last);

    /** Why the last {@link #renderPng} or {@link #renderPngBytes} on this thread failed. */
    public static native String lastError();
}
