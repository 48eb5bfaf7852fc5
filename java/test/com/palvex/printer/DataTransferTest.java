package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.SimulatedPrinters;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

/** Reads and writes on both drivers, with the summaries and dumps they trace. */
class DataTransferTest extends PortFixture {
    private final PortHandles handles = holder();

    private int openPrinterClass() {
        int printer = attachSupported(PRINTER_CLASS);
        openBoth(handles, PRINTER_CLASS);
        traces();
        return printer;
    }

    /** Waits until the worker has stored `count` bytes. */
    private void awaitBuffered(int count) throws InterruptedException {
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (port.usbGetBytesAvailable() < count && System.nanoTime() < deadline) Thread.sleep(2);
        assertEquals(count, port.usbGetBytesAvailable());
    }

    @Test
    void printerClassReadTakesWhatTheBufferHolds() throws Exception {
        int printer = openPrinterClass();
        SimulatedPrinters.send(printer, new byte[] {1, 2, 3, 4, 5});
        awaitBuffered(5);
        byte[] data = new byte[64];
        assertEquals(5, port.usbReadInputPipe(handles.hReadPort, data));
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5}, Arrays.copyOf(data, 5));
        List<String> lines = traces();
        assertTrue(lines.stream().anyMatch(l -> l.contains("nData=64") && l.contains("nCount=5")));
        assertTrue(lines.contains("usbReadInputPipe(#) Case 1"));
    }

    @Test
    void shortArrayLeavesTheRestForTheNextRead() throws Exception {
        int printer = openPrinterClass();
        SimulatedPrinters.send(printer, new byte[] {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
        awaitBuffered(10);
        byte[] small = new byte[4];
        assertEquals(4, port.usbReadInputPipe(handles.hReadPort, small));
        assertArrayEquals(new byte[] {0, 1, 2, 3}, small);
        byte[] rest = new byte[16];
        assertEquals(6, port.usbReadInputPipe(handles.hReadPort, rest));
        assertEquals(9, rest[5]);
    }

    @Test
    void printerClassReadWithoutDataFailsAfterAboutHalfASecond() {
        openPrinterClass();
        byte[] data = {9, 9, 9};
        long start = System.nanoTime();
        assertEquals(-1, port.usbReadInputPipe(handles.hReadPort, data));
        long millis = (System.nanoTime() - start) / 1_000_000;
        assertTrue(millis >= 450 && millis < 5000, millis + " ms");
        assertArrayEquals(new byte[] {9, 9, 9}, data);
        List<String> lines = traces();
        assertTrue(lines.contains("usbReadInputPipe(#) Case 2"));
        assertTrue(lines.contains("usbReadInputPipe(#) GetPCLSData: 0 return"));
        assertTrue(lines.stream().anyMatch(l -> l.contains("bData[0]=0 ")), lines.toString());
    }

    @Test
    void makersDriverReadsTheHandleItIsGiven() {
        int printer = attachSupported(MAKER);
        assertEquals(0, port.usbInitPipe(handles, genericRead));
        // The maker's driver completes a read at once, with nothing when nothing came.
        assertEquals(0, port.usbReadInputPipe(handles.hReadPort, new byte[8]));
        SimulatedPrinters.send(printer, new byte[] {(byte) 0xC3, 0x41});
        byte[] data = new byte[8];
        assertEquals(2, port.usbReadInputPipe(handles.hReadPort, data));
        assertEquals((byte) 0xC3, data[0]);
        assertTrue(traces().stream().anyMatch(l -> l.contains("bData[0]=ffffffc3 nCount=2")));
        assertEquals(-1, port.usbReadInputPipe(0x7FFF0000, data));
    }

    @Test
    void shortWritesAreDumpedAndLongOnesAreNot() {
        int printer = openPrinterClass();
        byte[] thirtyOne = new byte[31];
        Arrays.fill(thirtyOne, (byte) 0x1B);
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, thirtyOne));
        List<String> lines = traces();
        List<String> dump = lines.stream().filter(l -> l.startsWith("WRITE") || l.startsWith(" 1b"))
                .collect(Collectors.toList());
        assertEquals(3, dump.size(), lines.toString());
        assertEquals(" 1b 1b 1b 1b 1b 1b 1b", dump.get(2));
        int summary = lines.indexOf(lines.stream().filter(l -> l.contains("WRITE: nHandle")).findFirst().get());
        assertTrue(lines.indexOf(dump.get(2)) < summary, "the dump comes before the summary");

        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[32]));
        assertTrue(traces().stream().noneMatch(l -> l.startsWith("WRITE ")));
        assertEquals(63, SimulatedPrinters.received(printer).length);
    }

    @Test
    void statusRequestIsAnsweredThroughTheReceivePipeline() throws Exception {
        int printer = openPrinterClass();
        SimulatedPrinters.setStatusByte(printer, 4, 0x72);
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {0x10, 0x04, 4}));
        byte[] reply = new byte[1];
        assertEquals(1, port.usbReadInputPipe(handles.hReadPort, reply));
        assertEquals(0x72, reply[0]);
    }

    @Test
    void afterRecoveryAWriteWithTheOldHandleReachesThePrinter() throws Exception {
        int printer = openPrinterClass();
        SimulatedPrinters.detach(printer);
        SimulatedPrinters.reattach(printer);
        long deadline = System.nanoTime() + 10_000_000_000L;
        int result;
        do {
            result = port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'o', 'k'});
            if (result != 0) Thread.sleep(10);
        } while (result != 0 && System.nanoTime() < deadline);
        assertEquals(0, result);
        assertArrayEquals(new byte[] {'o', 'k'}, SimulatedPrinters.received(printer));
    }

    @Test
    void writeWithoutAWritePipeReportsTheInvalidHandle() {
        attachSupported(MAKER);
        assertEquals(0, port.usbInitPipe(handles, genericRead));
        assertEquals(6, port.usbWriteOutputPipe(handles.hReadPort, new byte[] {1}));
    }

    @Test
    void emptyArraysAreHandled() {
        openPrinterClass();
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[0]));
        assertTrue(traces().contains("WRITE"));
        assertEquals(-1, port.usbReadInputPipe(handles.hReadPort, new byte[0]));
    }
}
