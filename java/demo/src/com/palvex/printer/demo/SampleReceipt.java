package com.palvex.printer.demo;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.Locale;

/** A café's receipt in ESC/POS, as the demo and the till print it. */
public final class SampleReceipt {
    /** Columns of 80 mm paper in font A. */
    public static final int COLUMNS = 48;

    private static final byte ESC = 0x1B;
    private static final byte GS = 0x1D;
    private static final byte LF = 0x0A;

    private static final String[][] ITEMS = {
        {"2", "Espresso", "290"},
        {"1", "Cappuccino, oat milk", "420"},
        {"1", "Almond croissant", "375"},
        {"3", "Sparkling water 0.33 l", "210"},
    };

    private SampleReceipt() {}

    private static String money(int cents) {
        return String.format(Locale.ROOT, "%d.%02d", cents / 100, cents % 100);
    }

    /** Left text and right text on one line of `columns` columns. */
    private static String spread(String left, String right, int columns) {
        int spaces = Math.max(1, columns - left.length() - right.length());
        return left + " ".repeat(spaces) + right;
    }

    /**
     * Receipt number {@code number}, ending in a partial cut; {@code note}, when not empty,
     * is printed as it is (any bytes a till might print, such as a customer's name).
     */
    public static byte[] escpos(int number, String note) {
        ByteArrayOutputStream r = new ByteArrayOutputStream();
        r.writeBytes(new byte[] {ESC, '@'});                      // initialise
        r.writeBytes(new byte[] {ESC, 'a', 1});                   // centred
        r.writeBytes(new byte[] {ESC, 'E', 1, GS, '!', 0x11});    // bold, double size
        line(r, "PALVEX CAFE");
        r.writeBytes(new byte[] {ESC, 'E', 0, GS, '!', 0x00});
        line(r, "12 Harbour Street, Springfield");
        line(r, "Tel. 555-0134");
        r.writeBytes(new byte[] {ESC, 'd', 1});
        r.writeBytes(new byte[] {ESC, 'a', 0});                   // left
        line(r, spread(String.format(Locale.ROOT, "Receipt %06d", number), "2024-05-14 12:41", COLUMNS));
        line(r, "-".repeat(COLUMNS));
        int total = 0;
        for (String[] item : ITEMS) {
            int quantity = Integer.parseInt(item[0]);
            int price = Integer.parseInt(item[2]);
            total += quantity * price;
            line(r, spread(quantity + " x " + item[1], money(quantity * price), COLUMNS));
            if (quantity > 1) line(r, "    at " + money(price) + " each");
        }
        line(r, "-".repeat(COLUMNS));
        r.writeBytes(new byte[] {ESC, 'E', 1, GS, '!', 0x11});    // a double-size total
        line(r, spread("TOTAL", "EUR " + money(total), COLUMNS / 2));
        r.writeBytes(new byte[] {ESC, 'E', 0, GS, '!', 0x00});
        line(r, spread("Paid by card", money(total), COLUMNS));
        if (!note.isEmpty()) line(r, note);
        r.writeBytes(new byte[] {ESC, 'd', 1});
        r.writeBytes(new byte[] {ESC, 'a', 1});
        line(r, "Thank you for your visit!");
        r.writeBytes(new byte[] {ESC, 'a', 2});                   // right
        line(r, "Served by Mara");
        r.writeBytes(new byte[] {ESC, 'd', 3});
        r.writeBytes(new byte[] {GS, 'V', 66, 0});                // feed and partial cut
        return r.toByteArray();
    }

    private static void line(ByteArrayOutputStream r, String text) {
        r.writeBytes(text.getBytes(StandardCharsets.ISO_8859_1));
        r.write(LF);
    }
}
