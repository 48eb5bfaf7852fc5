package com.palvex.printer.sim.lab;

import com.palvex.printer.sim.ReceiptRenderer;
import java.util.Arrays;

/**
 * One receipt as the printer printed it: its ESC/POS bytes from the end of the receipt
 * before to its cut (or, for the receipt being printed now, to what came so far), with its
 * text and picture as the renderer draws them.
 */
public final class Receipt {
    private final int number;
    private final byte[] modes;  // the print modes in force where it begins
    private final byte[] escpos;
    private final boolean cut;
    private String text;
    private byte[] png;  // once cut, a receipt no longer changes: its picture is drawn once

    Receipt(int number, byte[] modes, byte[] escpos, boolean cut) {
        this.number = number;
        this.modes = modes;
        this.escpos = escpos;
        this.cut = cut;
    }

    /** Its place among the printer's receipts, from 1. */
    public int number() {
        return number;
    }

    /** The bytes it was printed from (without the print modes in force where it began). */
    public byte[] escpos() {
        return Arrays.copyOf(escpos, escpos.length);
    }

    /**
     * Whether the paper was cut after it. The last receipt may still be being printed, and a
     * strip printed without a cut longer than {@link VirtualPrinter#MAX_STRIP_BYTES} bytes or
     * {@link VirtualPrinter#MAX_STRIP_LINES} lines is kept in pieces that are not cut.
     */
    public boolean cut() {
        return cut;
    }

    /** Its text, one line per printed line (see {@link ReceiptRenderer#renderText}). */
    public synchronized String text() {
        if (text == null) text = ReceiptRenderer.renderText(asPrinted());
        return text;
    }

    /** Its picture as a PNG. */
    public synchronized byte[] png() {
        if (png == null) {
            byte[] drawn = ReceiptRenderer.renderPngBytes(asPrinted());
            if (drawn == null) throw new IllegalStateException("receipt " + number + ": " + ReceiptRenderer.lastError());
            png = drawn;
        }
        return png.clone();
    }

    int size() {
        return escpos.length;
    }

    byte[] modesAtEnd() {
        return ReceiptRenderer.modesAtEnd(asPrinted());
    }

    // Its bytes with the modes the printer was in when it began.
    private byte[] asPrinted() {
        byte[] all = Arrays.copyOf(modes, modes.length + escpos.length);
        System.arraycopy(escpos, 0, all, modes.length, escpos.length);
        return all;
    }
}
