package com.palvex.printer.demo;

import com.palvex.printer.PortHandles;
import com.palvex.printer.UsbPort;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * A till as a shop runs it: it knows nothing of simulated printers, only {@link UsbPort}. It
 * prints a receipt every few seconds, asks the printer about its paper first, and copes with
 * what a printer on a counter does, as the README's "Handling errors in a till" says: it
 * waits while the paper is out, reconnects after the cable was pulled, and reprints a receipt
 * that was cut off.
 *
 * <p>{@code java -jar till.jar [--interval=MS] [--count=N]} prints N receipts (for ever
 * without a count), one line of news each. With {@code --commands} it instead takes one
 * command a line from its input and answers each with one line, for tests that play the
 * shop: {@code open}, {@code receipt [note]}, {@code write N}, {@code status N},
 * {@code close} and {@code quit}.
 */
public final class Till {
    private static final byte DLE = 0x10;
    private static final byte EOT = 0x04;
    private static final int REPLY_WAIT_MS = 2000;

    private final UsbPort port = new UsbPort();
    private final PortHandles handles = new PortHandles();
    private int driverKind = -1;

    /** Opens both pipes; the driver kind, or -1 with no printer. */
    public int open() {
        close();
        int kind = port.usbInitPipe(handles, port.usbGetGenericWriteValue());
        if (kind < 0) return -1;
        if (port.usbInitPipe(handles, port.usbGetGenericReadValue()) < 0) return -1;
        if (kind == 0) port.usbSetCommTimeout(handles.hReadPort, 0, 0, 500, 0, 0);
        driverKind = kind;
        return kind;
    }

    public void close() {
        if (handles.hWritePort != 0) port.usbClosePipe(handles.hWritePort);
        if (handles.hReadPort != 0) port.usbClosePipe(handles.hReadPort);
        handles.hWritePort = 0;
        handles.hReadPort = 0;
        driverKind = -1;
    }

    /** Writes everything; 0, or the Win32 error code. */
    public int write(byte[] bytes) {
        return port.usbWriteOutputPipe(handles.hWritePort, bytes);
    }

    /** The printer's reply to DLE EOT n, or -1 when none came. */
    public int status(int n) {
        // Replies left from before would answer the wrong question.
        byte[] stale = new byte[16];
        while (port.usbGetBytesAvailable() > 0 && port.usbReadInputPipe(handles.hReadPort, stale) > 0) {
            // dropped
        }
        if (driverKind == 0) port.usbPurgeRequest(handles.hReadPort);
        if (write(new byte[] {DLE, EOT, (byte) n}) != 0) return -1;
        byte[] reply = new byte[1];
        long deadline = System.nanoTime() + REPLY_WAIT_MS * 1_000_000L;
        while (System.nanoTime() < deadline) {
            if (port.usbReadInputPipe(handles.hReadPort, reply) == 1) return reply[0] & 0xFF;
        }
        return -1;
    }

    /** Whether the printer says its paper is out (DLE EOT 4, bits 5 and 6). */
    public boolean paperOut() {
        int reply = status(4);
        return reply >= 0 && (reply & 0x60) != 0;
    }

    public static void main(String[] args) throws IOException, InterruptedException {
        long interval = 3000;
        long count = Long.MAX_VALUE;
        boolean commands = false;
        for (String arg : args) {
            if (arg.startsWith("--interval=")) {
                interval = Long.parseLong(arg.substring("--interval=".length()));
            } else if (arg.startsWith("--count=")) {
                count = Long.parseLong(arg.substring("--count=".length()));
            } else if (arg.equals("--commands")) {
                commands = true;
            } else {
                System.err.println("usage: Till [--interval=MS] [--count=N] [--commands]");
                System.exit(2);
            }
        }
        Till till = new Till();
        if (commands) {
            till.takeCommands();
        } else {
            till.printReceipts(interval, count);
        }
        till.close();
    }

    private void printReceipts(long interval, long count) throws InterruptedException {
        for (int number = 1; number <= count; number++) {
            while (driverKind < 0 && open() < 0) {
                System.out.println("no printer; trying again");
                Thread.sleep(1000);
            }
            while (paperOut()) {
                System.out.println("the printer is out of paper; waiting");
                Thread.sleep(1000);
            }
            byte[] receipt = SampleReceipt.escpos(number, "");
            int error = write(receipt);
            while (error != 0) {
                // Cut off in the middle, or not printed at all: reconnect, and print it whole
                // again, marked as a reprint.
                System.out.println("receipt " + number + ": error " + error + "; reconnecting");
                Thread.sleep(1000);
                if (open() >= 0) error = write(SampleReceipt.escpos(number, "*** REPRINT ***"));
            }
            System.out.println("receipt " + number + " printed");
            Thread.sleep(interval);
        }
    }

    private void takeCommands() throws IOException {
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        System.out.println("ready");
        for (String line; (line = in.readLine()) != null; ) {
            String[] words = line.trim().split(" ", 2);
            String argument = words.length > 1 ? words[1] : "";
            switch (words[0]) {
                case "open" -> answer(open() >= 0 ? "ok " + driverKind : "error " + port.usbGetLastError());
                case "receipt" -> answer(result(write(SampleReceipt.escpos(1, argument))));
                case "write" -> {
                    byte[] text = new byte[Integer.parseInt(argument)];
                    Arrays.fill(text, (byte) 'w');
                    answer(result(write(text)));
                }
                case "status" -> {
                    int reply = status(Integer.parseInt(argument));
                    answer(reply < 0 ? "error " + port.usbGetLastError() : String.format("ok status %02x", reply));
                }
                case "close" -> {
                    close();
                    answer("ok closed");
                }
                case "quit" -> {
                    answer("ok bye");
                    return;
                }
                default -> answer("error unknown command " + words[0]);
            }
        }
    }

    private static String result(int error) {
        return error == 0 ? "ok written" : "error " + error;
    }

    private static void answer(String text) {
        System.out.println(text);
        System.out.flush();
    }
}
