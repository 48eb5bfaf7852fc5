package com.palvex.printer.demo;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.Locale;

/**
 * A café's receipt in ESC/POS, as the demo and the till print it: a logo, text in two code
 * tables beside ASCII, a barcode of the receipt's number and a QR code for returns.
 */
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
        logo(r);
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
        // The same in two more languages, each in its code table: WPC1252, then PC866.
        r.writeBytes(new byte[] {ESC, 't', 16});
        r.writeBytes(WPC1252_THANKS);
        r.write(LF);
        r.writeBytes(new byte[] {ESC, 't', 17});
        r.writeBytes(PC866_THANKS);
        r.write(LF);
        r.writeBytes(new byte[] {ESC, 't', 0});
        r.writeBytes(new byte[] {ESC, 'd', 1});
        // The receipt's number as a CODE128 barcode with its text below, and a QR code of
        // the address where it can be returned.
        byte[] code = String.format(Locale.ROOT, "{BR%06d", number).getBytes(StandardCharsets.US_ASCII);
        r.writeBytes(new byte[] {GS, 'h', 60, GS, 'w', 2, GS, 'H', 2, GS, 'k', 73, (byte) code.length});
        r.writeBytes(code);
        r.writeBytes(new byte[] {ESC, 'd', 1});
        byte[] url = String.format(Locale.ROOT, "https://palvex.example/returns/%06d", number)
                .getBytes(StandardCharsets.US_ASCII);
        r.writeBytes(new byte[] {GS, '(', 'k', 3, 0, 49, 67, 4});     // modules of 4 dots
        r.writeBytes(new byte[] {GS, '(', 'k', 3, 0, 49, 69, 49});    // correction level M
        r.writeBytes(new byte[] {GS, '(', 'k', (byte) (url.length + 3), 0, 49, 80, 48});
        r.writeBytes(url);
        r.writeBytes(new byte[] {GS, '(', 'k', 3, 0, 49, 81, 48});    // print it
        r.writeBytes(new byte[] {ESC, 'a', 2});                   // right
        line(r, "Served by Mara");
        r.writeBytes(new byte[] {ESC, 'd', 3});
        r.writeBytes(new byte[] {GS, 'V', 66, 0});                // feed and partial cut
        return r.toByteArray();
    }

    // "Merci, à bientôt !" in WPC1252.
    private static final byte[] WPC1252_THANKS = {
        'M', 'e', 'r', 'c', 'i', ',', ' ', (byte) 0xE0, ' ', 'b', 'i', 'e', 'n', 't', (byte) 0xF4, 't', ' ', '!',
    };
    // "Спасибо!" in PC866.
    private static final byte[] PC866_THANKS = {
        (byte) 0x91, (byte) 0xAF, (byte) 0xA0, (byte) 0xE1, (byte) 0xA8, (byte) 0xA1, (byte) 0xAE, '!',
    };

    private static final int LOGO_WIDTH = 192;   // dots, 24 bytes a row
    private static final int LOGO_HEIGHT = 72;

    // The café's logo as a raster image (GS v 0): a cup on its saucer with steam above.
    private static void logo(ByteArrayOutputStream r) {
        int rowBytes = LOGO_WIDTH / 8;
        byte[] dots = new byte[rowBytes * LOGO_HEIGHT];
        for (int y = 0; y < LOGO_HEIGHT; y++) {
            for (int x = 0; x < LOGO_WIDTH; x++) {
                if (logoDot(x - LOGO_WIDTH / 2, y)) dots[y * rowBytes + x / 8] |= (byte) (0x80 >> (x % 8));
            }
        }
        r.writeBytes(new byte[] {GS, 'v', '0', 0, (byte) rowBytes, 0, (byte) LOGO_HEIGHT, 0});
        r.writeBytes(dots);
        r.write(LF);
    }

    // x from the middle; y from the top.
    private static boolean logoDot(int x, int y) {
        boolean steam = false;
        for (int wisp = -14; wisp <= 14; wisp += 14) {
            steam |= y > 2 && y < 26 && Math.abs(x - wisp - 4 * Math.sin(y / 3.5)) < 2;
        }
        boolean cup = y >= 30 && y < 62 && Math.abs(x) < 34 - (y > 50 ? (y - 50) * 2 : 0);
        double hx = x - 38, hy = y - 42;
        double handle = Math.sqrt(hx * hx + hy * hy);
        boolean ring = handle > 6 && handle < 11 && x > 30;
        boolean saucer = y >= 63 && y < 68 && Math.abs(x) < 60 - (y - 63) * 4;
        return steam || cup || ring || saucer;
    }

    private static void line(ByteArrayOutputStream r, String text) {
        r.writeBytes(text.getBytes(StandardCharsets.ISO_8859_1));
        r.write(LF);
    }
}
