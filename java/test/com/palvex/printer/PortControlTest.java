package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.SimulatedPrinters;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Timeouts, purge, access values, bytes waiting, last error and error texts. */
class PortControlTest extends PortFixture {
    private static final int BAD_HANDLE = 0x7FFF0000;

    @Test
    void onPrinterClassTheDeviceCallsAnswerOneWhateverTheHandle() {
        attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        assertEquals(1, port.usbInitPipe(handles, genericWrite));
        for (int handle : new int[] {handles.hWritePort, BAD_HANDLE, -1}) {
            assertEquals(1, port.usbGetCommTimeout(handle));
            assertEquals(1, port.usbSetCommTimeout(handle, 1, 2, 3, 4, 5));
            assertEquals(1, port.usbPurgeRequest(handle));
        }
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
    }

    @Test
    void onTheMakersDriverTimeoutsAreSetAndReadBack() {
        attachSupported(MAKER);
        PortHandles handles = holder();
        assertEquals(0, port.usbInitPipe(handles, genericRead));
        assertEquals(0, port.usbSetCommTimeout(handles.hReadPort, 10, 20, 300, 40, -1));
        assertEquals(300, port.usbGetCommTimeout(handles.hReadPort));
        assertEquals(0, port.usbPurgeRequest(handles.hReadPort));
        // A success is 0 even when an earlier failure left its code behind.
        assertEquals(6, port.usbPurgeRequest(BAD_HANDLE));
        assertEquals(6, port.usbGetLastError());
        assertEquals(0, port.usbSetCommTimeout(handles.hReadPort, 1, 1, 1, 1, 1));
        assertEquals(6, port.usbGetCommTimeout(BAD_HANDLE));
        assertEquals(6, port.usbSetCommTimeout(BAD_HANDLE, 1, 1, 1, 1, 1));
        assertEquals(0, port.usbClosePipe(handles.hReadPort));
    }

    @Test
    void accessValuesAndTheirTraces() {
        traces();
        assertEquals(-2147483648, port.usbGetGenericReadValue());
        assertEquals(List.of(), traces());
        assertEquals(1073741824, port.usbGetGenericWriteValue());
        assertEquals(1073741824, port.usbGetGenericWriteValue());
        assertEquals(2, count(traces(), "usbGetGenericWriteValue(#) Entry"));
    }

    @Test
    void bytesAvailableIsZeroWithoutABufferAndTracesEveryCall() {
        traces();
        assertEquals(0, port.usbGetBytesAvailable());
        assertEquals(List.of("usbGetBytesAvailable(#) Entry"), traces());
    }

    @Test
    void errorTextsComeFromTheSystemOrSayWhichCodeHadNone() {
        assertEquals("The system cannot find the file specified.\r\n", port.usbGetErrorString(2));
        assertEquals("Access is denied.\r\n", port.usbGetErrorString(5));
        assertEquals("FormatMessage failed: 123456\n", port.usbGetErrorString(123456));
        assertTrue(port.usbGetErrorString(-1).startsWith("FormatMessage failed: -1"));
    }

    @Test
    void bytesWaitingAreCounted() throws Exception {
        int printer = attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        assertEquals(1, port.usbInitPipe(handles, genericRead));
        SimulatedPrinters.send(printer, new byte[] {1, 2, 3});
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (port.usbGetBytesAvailable() < 3 && System.nanoTime() < deadline) Thread.sleep(2);
        assertEquals(3, port.usbGetBytesAvailable());
        assertEquals(0, port.usbClosePipe(handles.hReadPort));
        assertEquals(0, port.usbGetBytesAvailable());
    }
}
