package com.palvex.printer.demo;

import com.palvex.printer.PortHandles;
import com.palvex.printer.UsbPort;
import com.palvex.printer.sim.ReceiptRenderer;
import com.palvex.printer.sim.SimulatedPrinters;
import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import javax.imageio.ImageIO;

/**
 * A point-of-sale program printing its first receipt through VantoryUSB, on a simulated USB
 * receipt printer: it opens the printer's pipes, prints a receipt in ESC/POS, asks the
 * printer's status, closes the pipes, and shows what the printer printed.
 *
 * <p>Everything the program does to the printer goes through {@link UsbPort}, as on Windows;
 * {@link SimulatedPrinters} only plugs the printer in, turns its paper sensor and shows what
 * it received, which a real printer would do on its own.
 *
 * <p>Options: {@code --driver=class} (the Windows USB printer class driver, the default) or
 * {@code --driver=maker} (the maker's own driver), also from the environment variable
 * VANTORY_DEMO_DRIVER; {@code --out=DIR} where receipt.png goes (default build/demo).
 */
public final class ReceiptDemo {
    private static final byte DLE = 0x10;
    private static final byte EOT = 0x04;
    private static final int STATUS_ATTEMPTS = 10;
    private static final int NEAR_END_REPLY = 0x12 | 0x0C;

    /** What went wrong, for the one-line message the demo ends with. */
    private static final class DemoFailure extends Exception {
        private static final long serialVersionUID = 1L;

        DemoFailure(String message) {
            super(message);
        }
    }

    private final int driverKind;
    private final Path outDir;
    private final UsbPort port = new UsbPort();
    private final PortHandles handles = new PortHandles();
    private final ByteArrayOutputStream sent = new ByteArrayOutputStream();
    private int printer;

    private ReceiptDemo(int driverKind, Path outDir) {
        this.driverKind = driverKind;
        this.outDir = outDir;
    }

    public static void main(String[] args) {
        String driver = System.getenv("VANTORY_DEMO_DRIVER");
        String out = "build/demo";
        for (String arg : args) {
            if (arg.startsWith("--driver=")) {
                driver = arg.substring("--driver=".length());
            } else if (arg.startsWith("--out=")) {
                out = arg.substring("--out=".length());
            } else {
                usage("unknown argument " + arg);
            }
        }
        int kind = SimulatedPrinters.PRINTER_CLASS_DRIVER;
        if (driver != null && !driver.isEmpty()) {
            switch (driver) {
                case "maker": kind = SimulatedPrinters.MAKER_DRIVER; break;
                case "class": kind = SimulatedPrinters.PRINTER_CLASS_DRIVER; break;
                default: usage("unknown driver " + driver);
            }
        }
        try {
            new ReceiptDemo(kind, Paths.get(out)).run();
            System.out.println("Demo finished: all checks passed.");
        } catch (DemoFailure e) {
            System.err.println("receipt demo FAILED: " + e.getMessage());
            System.exit(1);
        } catch (RuntimeException | IOException | InterruptedException | LinkageError e) {
            System.err.println("receipt demo FAILED: " + e);
            System.exit(1);
        }
    }

    private static void usage(String problem) {
        System.err.println("receipt demo: " + problem);
        System.err.println("usage: ReceiptDemo [--driver=class|maker] [--out=DIR]");
        System.exit(2);
    }

    private static String driverName(int kind) {
        return kind == SimulatedPrinters.MAKER_DRIVER ? "Native USB (maker's driver)"
                                                      : "Printer Class USB";
    }

    private void run() throws DemoFailure, IOException, InterruptedException {
        System.out.println("VantoryUSB receipt demo");
        System.out.println("=======================");
        SimulatedPrinters.reset();
        int handlesBefore = SimulatedPrinters.openHandleCount();
        int pair = SimulatedPrinters.supportedIds()[0];
        printer = SimulatedPrinters.attach(driverKind, pair >>> 16, pair & 0xFFFF, "DEMO1");
        System.out.printf("Simulated printer plugged in: USB %04x:%04x, driver: %s%n",
                pair >>> 16, pair & 0xFFFF, driverName(driverKind));

        try {
            openPipes();
            printReceipt();
            askStatus();
        } finally {
            closePipes();
        }
        if (SimulatedPrinters.openHandleCount() != handlesBefore) {
            throw new DemoFailure("handles left open after closing both pipes");
        }
        System.out.println("Pipes closed, no handle left open.");

        byte[] received = SimulatedPrinters.received(printer);
        if (!Arrays.equals(received, sent.toByteArray())) {
            throw new DemoFailure("the printer received " + received.length
                    + " bytes that differ from the " + sent.size() + " sent");
        }
        System.out.println("Received bytes match: the printer got all " + received.length
                + " bytes exactly as sent.");

        showReceipt(received);
        String trace = System.getenv("HOSTWIN_DEBUG_OUTPUT");
        System.out.println(trace == null || trace.isEmpty()
                ? "Library trace: not recorded (set HOSTWIN_DEBUG_OUTPUT to a file name)"
                : "Library trace (the DLL's debugger output): " + trace);
    }

    private void openPipes() throws DemoFailure {
        int writeKind = port.usbInitPipe(handles, port.usbGetGenericWriteValue());
        if (writeKind < 0) throw new DemoFailure("usbInitPipe (write) found no printer: " + lastError());
        int readKind = port.usbInitPipe(handles, port.usbGetGenericReadValue());
        if (readKind < 0) throw new DemoFailure("usbInitPipe (read) failed: " + lastError());
        System.out.printf("Write pipe open (handle %d), read pipe open (handle %d)%n",
                handles.hWritePort, handles.hReadPort);
        System.out.println("The printer is served by: " + driverName(writeKind));
        if (writeKind != driverKind || readKind != driverKind) {
            throw new DemoFailure("usbInitPipe reported driver kind " + writeKind + "/" + readKind
                    + ", the printer was attached with " + driverKind);
        }
    }

    private String lastError() {
        int code = port.usbGetLastError();
        return code + " (" + port.usbGetErrorString(code).trim() + ")";
    }

    private void closePipes() {
        if (handles.hWritePort != 0) port.usbClosePipe(handles.hWritePort);
        if (handles.hReadPort != 0) port.usbClosePipe(handles.hReadPort);
        handles.hWritePort = 0;
        handles.hReadPort = 0;
    }

    private void write(byte[] data) throws DemoFailure {
        int result = port.usbWriteOutputPipe(handles.hWritePort, data);
        if (result != 0) {
            throw new DemoFailure("usbWriteOutputPipe failed with " + result + " ("
                    + port.usbGetErrorString(result).trim() + ")");
        }
        sent.write(data, 0, data.length);
    }

    // --- The receipt -----------------------------------------------------------------------

    private void printReceipt() throws DemoFailure {
        byte[] receipt = SampleReceipt.escpos(417, "");
        write(receipt);
        System.out.println("Printed the sample receipt: " + receipt.length
                + " bytes of ESC/POS through usbWriteOutputPipe");
    }

    // --- Status ----------------------------------------------------------------------------

    /** Sends DLE EOT n and reads the one-byte reply. */
    private int status(int n) throws DemoFailure, InterruptedException {
        write(new byte[] {DLE, EOT, (byte) n});
        byte[] reply = new byte[1];
        for (int attempt = 1; attempt <= STATUS_ATTEMPTS; attempt++) {
            // The maker's driver returns at once, with nothing when the reply has not come
            // yet; the printer class driver waits for it a while and returns -1 if none came.
            int count = port.usbReadInputPipe(handles.hReadPort, reply);
            if (count == 1) return reply[0] & 0xFF;
            if (count > 1 || count < -1) throw new DemoFailure("usbReadInputPipe returned " + count);
            Thread.sleep(20);
        }
        throw new DemoFailure("no reply to DLE EOT " + n + " after " + STATUS_ATTEMPTS + " reads");
    }

    private static String bit(int value, int bit, String set, String clear) {
        return (value & (1 << bit)) != 0 ? set : clear;
    }

    static String decode(int n, int value) {
        if ((value & 0x93) != 0x12) return "not a status reply";
        switch (n) {
            case 1:
                return bit(value, 3, "offline", "online")
                        + bit(value, 2, ", drawer pin 3 high", "");
            case 2:
                return bit(value, 2, "cover open", "cover closed")
                        + bit(value, 3, ", paper fed by the feed button", "")
                        + bit(value, 5, ", stopped at paper end", "")
                        + bit(value, 6, ", an error occurred", "");
            case 3: {
                String errors = bit(value, 3, ", autocutter error", "")
                        + bit(value, 5, ", unrecoverable error", "")
                        + bit(value, 6, ", auto-recoverable error", "");
                return errors.isEmpty() ? "no error" : errors.substring(2);
            }
            case 4:
                if ((value & 0x60) != 0) return "paper out";
                if ((value & 0x0C) != 0) return "paper near end";
                return "paper adequate";
            default:
                return "?";
        }
    }

    private static final String[] STATUS_NAMES = {
        "", "printer status", "offline cause", "error status", "paper roll sensor",
    };

    private void showStatus(int n) throws DemoFailure, InterruptedException {
        int value = status(n);
        System.out.printf("  DLE EOT %d  %-18s 0x%02x  %s%n", n, STATUS_NAMES[n], value,
                decode(n, value));
    }

    private void askStatus() throws DemoFailure, InterruptedException {
        System.out.println("Printer status (DLE EOT n written, reply read with usbReadInputPipe):");
        for (int n = 1; n <= 4; n++) showStatus(n);
        System.out.printf("The printer's paper roll runs low (its reply to DLE EOT 4 becomes 0x%02x):%n",
                NEAR_END_REPLY);
        SimulatedPrinters.setStatusByte(printer, 4, NEAR_END_REPLY);
        showStatus(4);
    }

    // --- What was printed ------------------------------------------------------------------

    private void showReceipt(byte[] received) throws DemoFailure, IOException {
        String text = ReceiptRenderer.renderText(received);
        String border = "+" + "-".repeat(ReceiptRenderer.PAPER_COLUMNS + 2) + "+";
        System.out.println();
        System.out.println("The receipt as the printer printed it:");
        System.out.println(border);
        for (String line : text.split("\n")) {
            System.out.printf("| %-" + ReceiptRenderer.PAPER_COLUMNS + "s |%n", line);
        }
        System.out.println(border);
        System.out.println();

        Files.createDirectories(outDir);
        Path png = outDir.resolve("receipt.png");
        if (!ReceiptRenderer.renderPng(received, png.toString())) {
            throw new DemoFailure("receipt picture: " + ReceiptRenderer.lastError());
        }
        BufferedImage image = ImageIO.read(new File(png.toString()));
        if (image == null || image.getWidth() < 100 || image.getHeight() < 100) {
            throw new DemoFailure(png + " does not read back as a PNG image");
        }
        System.out.printf("Receipt picture: %s (%d x %d), PNG ok%n", png, image.getWidth(),
                image.getHeight());
    }
}
