package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.palvex.printer.sim.SimulatedPrinters;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;

/**
 * Base of the port tests: a clean simulator, the port's pipes closed after each test, and a
 * check that every handle the test opened was closed again.
 */
abstract class PortFixture {
    static final int MAKER = SimulatedPrinters.MAKER_DRIVER;
    static final int PRINTER_CLASS = SimulatedPrinters.PRINTER_CLASS_DRIVER;

    final UsbPort port = new UsbPort();
    final int genericRead = port.usbGetGenericReadValue();
    final int genericWrite = port.usbGetGenericWriteValue();
    private int handlesAtStart;
    private final List<String> traces = new ArrayList<>();
    private final List<PortHandles> holders = new ArrayList<>();

    @BeforeEach
    void cleanSimulator() {
        SimulatedPrinters.reset();
        handlesAtStart = SimulatedPrinters.openHandleCount();
        traces.clear();
    }

    /** A holder whose handles are closed after the test, whatever the test did. */
    PortHandles holder() {
        PortHandles handles = new PortHandles();
        holders.add(handles);
        return handles;
    }

    @AfterEach
    void everyHandleClosed() {
        for (PortHandles handles : holders) closeBoth(handles);
        SimulatedPrinters.reset();
        assertEquals(handlesAtStart, SimulatedPrinters.openHandleCount(), "handles left open");
    }

    /** Handles open in the stand-in when the test began. */
    int handlesAtStart() {
        return handlesAtStart;
    }

    /** A printer of the library's supported list (the first pair unless told otherwise). */
    static int attachSupported(int driverKind) {
        return attachSupported(driverKind, 0, "");
    }

    static int attachSupported(int driverKind, int index, String serial) {
        int pair = SimulatedPrinters.supportedIds()[index];
        return SimulatedPrinters.attach(driverKind, pair >>> 16, pair & 0xFFFF, serial);
    }

    /** Debugger output since the last call, with "(#)" for the line numbers. */
    List<String> traces() {
        List<String> fresh = new ArrayList<>();
        for (String line : SimulatedPrinters.takeDebugOutput()) {
            fresh.add(line.replaceFirst("^([^(]*)\\(\\d+\\) ", "$1(#) "));
        }
        traces.addAll(fresh);
        return fresh;
    }

    /** Waits until the debugger output has carried `line` (line numbers as "(#)"). */
    void awaitTrace(String line) throws InterruptedException {
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (System.nanoTime() < deadline) {
            if (traces().contains(line)) return;
            Thread.sleep(1);
        }
        throw new AssertionError("no trace " + line);
    }

    static long count(List<String> lines, String line) {
        return lines.stream().filter(line::equals).count();
    }

    /** Opens the write pipe, then the read pipe, into `handles`; both must report `kind`. */
    void openBoth(PortHandles handles, int kind) {
        assertEquals(kind, port.usbInitPipe(handles, genericWrite));
        assertEquals(kind, port.usbInitPipe(handles, genericRead));
    }

    /** Closes what the holder holds, as an application does at the end. */
    void closeBoth(PortHandles handles) {
        if (handles.hWritePort != 0) port.usbClosePipe(handles.hWritePort);
        if (handles.hReadPort != 0) port.usbClosePipe(handles.hReadPort);
        handles.hWritePort = 0;
        handles.hReadPort = 0;
    }
}
