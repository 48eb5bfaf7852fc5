package com.palvex.printer.sim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.PortHandles;
import com.palvex.printer.UsbPort;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Each control of the simulated printers, seen through the port an application opens. */
class SimulatedPrintersTest {
    private final UsbPort port = new UsbPort();
    private final int read = port.usbGetGenericReadValue();
    private final int write = port.usbGetGenericWriteValue();
    private final PortHandles handles = new PortHandles();

    @BeforeEach
    void cleanSimulator() {
        SimulatedPrinters.reset();
    }

    @AfterEach
    void closeAndReset() {
        if (handles.hWritePort != 0) port.usbClosePipe(handles.hWritePort);
        if (handles.hReadPort != 0) port.usbClosePipe(handles.hReadPort);
        SimulatedPrinters.reset();
    }

    private static int supportedPrinter(int driverKind) {
        int pair = SimulatedPrinters.supportedIds()[0];
        return SimulatedPrinters.attach(driverKind, pair >>> 16, pair & 0xFFFF, "JUNIT");
    }

    private byte[] readAtLeast(int count) {
        byte[] got = new byte[0];
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (got.length < count && System.nanoTime() < deadline) {
            byte[] into = new byte[64];
            int n = port.usbReadInputPipe(handles.hReadPort, into);
            if (n > 0) {
                got = Arrays.copyOf(got, got.length + n);
                System.arraycopy(into, 0, got, got.length - n, n);
            }
        }
        return got;
    }

    private static boolean tracesContain(String fragment) {
        for (String line : SimulatedPrinters.takeDebugOutput()) {
            if (line.contains(fragment)) return true;
        }
        return false;
    }

    @Test
    void attachedPrintersAreOpenedUnderTheirDriverAndIdsAreNeverGivenAgain() {
        assertEquals(10, SimulatedPrinters.supportedIds().length);
        int before = supportedPrinter(SimulatedPrinters.MAKER_DRIVER);
        assertEquals(0, port.usbInitPipe(handles, write));
        port.usbClosePipe(handles.hWritePort);
        SimulatedPrinters.reset();
        assertEquals(-1, port.usbInitPipe(handles, write));  // no printer after a reset
        int after = supportedPrinter(SimulatedPrinters.PRINTER_CLASS_DRIVER);
        assertTrue(after > before, "an id from before a reset names no printer after it");
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.send(before, new byte[] {1}));
        assertEquals(1, port.usbInitPipe(handles, write));
    }

    @Test
    void sentBytesStatusRepliesAndReceivedBytesTravelBothWays() {
        int id = supportedPrinter(SimulatedPrinters.PRINTER_CLASS_DRIVER);
        assertEquals(1, port.usbInitPipe(handles, write));
        assertEquals(1, port.usbInitPipe(handles, read));
        SimulatedPrinters.send(id, new byte[] {1, 2, 3});
        assertArrayEquals(new byte[] {1, 2, 3}, readAtLeast(3));
        SimulatedPrinters.setStatusByte(id, 1, 0x16);
        byte[] request = {0x10, 0x04, 1};
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, request));
        assertArrayEquals(new byte[] {0x16}, readAtLeast(1));
        assertArrayEquals(request, SimulatedPrinters.received(id));
    }

    @Test
    void unplugAndReplugAreSeenByTheLibrary() {
        int id = supportedPrinter(SimulatedPrinters.PRINTER_CLASS_DRIVER);
        assertEquals(1, port.usbInitPipe(handles, read));
        int open = SimulatedPrinters.openHandleCount();
        SimulatedPrinters.detach(id);
        assertEquals(-1, port.usbInitPipe(new PortHandles(), write));
        SimulatedPrinters.reattach(id);
        assertEquals(1, port.usbInitPipe(handles, write));
        assertTrue(SimulatedPrinters.openHandleCount() >= open);
    }

    @Test
    void armedFaultsAndTheReadModeShowInTheTrace() throws Exception {
        int id = supportedPrinter(SimulatedPrinters.PRINTER_CLASS_DRIVER);
        // The probe's open and the search's open of the interface are both refused.
        SimulatedPrinters.failNextOpens(id, 32, 2);
        assertEquals(-1, port.usbInitPipe(handles, read));
        SimulatedPrinters.failNextReads(id, 31, 1);
        SimulatedPrinters.takeDebugOutput();
        assertEquals(1, port.usbInitPipe(handles, read));
        long deadline = System.nanoTime() + 10_000_000_000L;
        boolean failed = false;
        while (!failed && System.nanoTime() < deadline) {
            failed = tracesContain("dwError = 31");
            Thread.sleep(2);
        }
        assertTrue(failed, "the armed read failure was not seen");
        port.usbClosePipe(handles.hReadPort);
        handles.hReadPort = 0;

        SimulatedPrinters.setReadMode(id, SimulatedPrinters.READS_COMPLETE_AT_ONCE);
        SimulatedPrinters.takeDebugOutput();
        assertEquals(1, port.usbInitPipe(handles, read));
        boolean idle = false;
        while (!idle && System.nanoTime() < deadline) {
            idle = tracesContain("From2 ReceiveData nBytesRead=0");
            Thread.sleep(2);
        }
        assertTrue(idle, "idle reads did not complete at once");
    }

    @Test
    void aStalledWriteGoesOnWhenReleasedAndAPulledCableCutsAWrite() throws Exception {
        int printer = supportedPrinter(SimulatedPrinters.MAKER_DRIVER);
        assertEquals(0, port.usbInitPipe(handles, write));
        SimulatedPrinters.stallWrites(printer);
        int[] result = {-1};
        Thread writer = new Thread(() -> result[0] = port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'s'}));
        writer.start();
        writer.join(200);
        assertTrue(writer.isAlive(), "the write waits while the printer refuses");
        SimulatedPrinters.releaseWrites(printer);
        writer.join(10_000);
        assertEquals(0, result[0]);
        assertArrayEquals(new byte[] {'s'}, SimulatedPrinters.received(printer));

        SimulatedPrinters.unplugAfterBytes(printer, 2);
        assertEquals(5, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'a', 'b', 'c'}));
        assertArrayEquals(new byte[] {'s', 'a', 'b'}, SimulatedPrinters.received(printer));
        assertEquals(-1, port.usbInitPipe(handles, write), "the printer is gone");
        SimulatedPrinters.reattach(printer, "NEWSERIAL");
        assertEquals(0, port.usbInitPipe(handles, write), "found again under its new serial");
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'d'}));
    }

    @Test
    void openHandlesAreCountedAndTheTraceIsTakenOnce() {
        supportedPrinter(SimulatedPrinters.MAKER_DRIVER);
        int before = SimulatedPrinters.openHandleCount();
        SimulatedPrinters.takeDebugOutput();
        assertEquals(0, port.usbInitPipe(handles, write));
        assertEquals(before + 1, SimulatedPrinters.openHandleCount());
        assertTrue(SimulatedPrinters.takeDebugOutput().length > 0);
        assertEquals(0, SimulatedPrinters.takeDebugOutput().length);
        // The newest lines only, and how many came before them.
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'a'}));
        String[] oneWrite = SimulatedPrinters.takeDebugOutput();
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'a'}));
        long[] left = {-1};
        String[] newest = SimulatedPrinters.takeDebugOutput(2, left);
        assertArrayEquals(Arrays.copyOfRange(oneWrite, oneWrite.length - 2, oneWrite.length), newest);
        assertEquals(oneWrite.length - 2, left[0]);
        assertEquals(0, SimulatedPrinters.takeDebugOutput(2, null).length);
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
        handles.hWritePort = 0;
        assertEquals(before, SimulatedPrinters.openHandleCount());
    }

    @Test
    void unknownIdsAndBadArgumentsThrowIllegalArgument() {
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.detach(1));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.received(7));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.attach(2, 1, 1, null));
        int id = supportedPrinter(SimulatedPrinters.MAKER_DRIVER);
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.send(id + 1, new byte[] {1}));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.setStatusByte(id, 5, 0x12));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.setReadMode(id, 7));
        assertThrows(NullPointerException.class, () -> SimulatedPrinters.send(id, null));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.cutEnds(id, -1, null));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.cutEnds(id, 1, new long[0]));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.cutEnds(id + 1, 1, null));
        assertEquals(0, SimulatedPrinters.cutEnds(id, 5, null).length);
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.takeDebugOutput(-1, null));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.takeDebugOutput(1, new long[0]));
    }
}
