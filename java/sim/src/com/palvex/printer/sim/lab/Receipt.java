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
    private final byte[] escpos;
    private final boolean cut;
    private String text;
    private byte[] png;  // once cut, a receipt no longer changes: its picture is drawn once

    Receipt(int number, byte[] escpos, boolean cut) {
        this.number = number;
        this.escpos = escpos;
        this.cut = cut;
    }

    /** Its place among the printer's receipts, from 1. */
    public int number() {
        return number;
    }

    /** The bytes it was printed from. */
    public byte[] escpos() {
        return Arrays.copyOf(escpos, escpos.length);
    }

    /** Whether the paper was cut after it; the last receipt may still be being printed. */
    public boolean cut() {
        return cut;
    }

    /** Its text, one line per printed line (see {@link ReceiptRenderer#renderText}). */
    public synchronized String text() {
        if (text == null) text = ReceiptRenderer.renderText(escpos);
        return text;
    }

    /** Its picture as a PNG. */
    public synchronized byte[] png() {
        if (png == null) {
            byte[] drawn = ReceiptRenderer.renderPngBytes(escpos);
            if (drawn == null) throw new IllegalStateException("receipt " + number + ": " + ReceiptRenderer.lastError());
            png = drawn;
        }
        return png.clone();
    }

    int size() {
        return escpos.length;
    }
}
