package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.SimulatedPrinters;
import java.util.Arrays;
import org.junit.jupiter.api.Test;

/**
 * Every native with the arguments a careless application passes: null for each reference,
 * empty and 64 MiB arrays, handle values the library never handed out or has closed, the
 * other pipe's handle, and access values other than the two. Each row of the README's table
 * of bad arguments is proven here, in a JVM that checks every JNI call; a crash of that JVM
 * fails the run.
 */
class MisuseTest extends PortFixture {
    private static final int INVALID_HANDLE = 6;
    private static final int INVALID_PARAMETER = 87;
    private static final int HUGE = 64 << 20;

    /** Handle values that name nothing the library holds; `closed` is added per test. */
    private static int[] foreignHandles(int closed) {
        return new int[] {0, -1, Integer.MIN_VALUE, Integer.MAX_VALUE, closed, 0x7FFF0000};
    }

    @Test
    void nullReferencesAreRefusedOnBothDrivers() {
        for (int kind : new int[] {MAKER, PRINTER_CLASS}) {
            SimulatedPrinters.reset();
            int printer = attachSupported(kind);
            PortHandles handles = holder();
            openBoth(handles, kind);
            assertEquals(-1, port.usbReadInputPipe(handles.hReadPort, null));
            assertEquals(INVALID_PARAMETER, port.usbGetLastError());
            assertEquals(INVALID_PARAMETER, port.usbWriteOutputPipe(handles.hWritePort, null));
            assertEquals(-1, port.usbInitPipe(null, genericRead));
            assertEquals(-1, port.usbInitPipe(null, genericWrite));
            assertArrayEquals(new byte[0], SimulatedPrinters.received(printer));
            closeBoth(handles);
        }
    }

    @Test
    void emptyArraysWriteNothingAndReadNothing() {
        for (int kind : new int[] {MAKER, PRINTER_CLASS}) {
            SimulatedPrinters.reset();
            int printer = attachSupported(kind);
            PortHandles handles = holder();
            openBoth(handles, kind);
            SimulatedPrinters.send(printer, new byte[] {7});
            assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[0]));
            long start = System.nanoTime();
            // The maker's driver accepts an empty read; the receive buffer answers at once.
            assertEquals(kind == MAKER ? 0 : -1, port.usbReadInputPipe(handles.hReadPort, new byte[0]));
            assertTrue(System.nanoTime() - start < 400_000_000L);
            assertArrayEquals(new byte[0], SimulatedPrinters.received(printer));
            closeBoth(handles);
        }
    }

    @Test
    void arraysOf64MiBAreWrittenWholeAndFilledWithWhatCame() throws Exception {
        for (int kind : new int[] {MAKER, PRINTER_CLASS}) {
            SimulatedPrinters.reset();
            int printer = attachSupported(kind);
            PortHandles handles = holder();
            openBoth(handles, kind);
            byte[] big = new byte[HUGE];
            Arrays.fill(big, (byte) 0x20);
            big[HUGE - 1] = 0x0A;
            assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, big));
            byte[] printed = SimulatedPrinters.received(printer);
            assertEquals(HUGE, printed.length);
            assertEquals(0x0A, printed[HUGE - 1]);
            SimulatedPrinters.send(printer, new byte[] {1, 2, 3});
            byte[] into = new byte[HUGE];
            int got = 0;
            long deadline = System.nanoTime() + 10_000_000_000L;
            while (got < 3 && System.nanoTime() < deadline) {
                int n = port.usbReadInputPipe(handles.hReadPort, into);
                if (n > 0) got = n;
            }
            assertEquals(3, got);
            assertEquals(3, into[2]);
            assertEquals(0, into[3]);
            closeBoth(handles);
        }
    }

    @Test
    void onTheMakersDriverForeignHandleValuesAreRefusedAndTouchNothing() {
        int printer = attachSupported(MAKER);
        PortHandles handles = holder();
        openBoth(handles, MAKER);
        PortHandles spare = holder();
        assertEquals(0, port.usbInitPipe(spare, genericRead));
        int closed = spare.hReadPort;
        assertEquals(0, port.usbClosePipe(closed));
        spare.hReadPort = 0;
        int open = SimulatedPrinters.openHandleCount();
        SimulatedPrinters.send(printer, new byte[] {0x42});
        for (int value : foreignHandles(closed)) {
            assertEquals(INVALID_HANDLE, port.usbClosePipe(value), "close " + value);
            assertEquals(-1, port.usbReadInputPipe(value, new byte[4]), "read " + value);
            assertEquals(INVALID_HANDLE, port.usbGetLastError());
            assertEquals(INVALID_HANDLE, port.usbGetCommTimeout(value), "get timeouts " + value);
            assertEquals(INVALID_HANDLE, port.usbSetCommTimeout(value, 1, 2, 3, 4, 5));
            assertEquals(INVALID_HANDLE, port.usbPurgeRequest(value), "purge " + value);
            // A write goes to the port's write handle, whatever value Java passes.
            assertEquals(0, port.usbWriteOutputPipe(value, new byte[] {'w'}), "write " + value);
        }
        assertEquals(open, SimulatedPrinters.openHandleCount());
        byte[] reply = new byte[4];
        assertEquals(1, port.usbReadInputPipe(handles.hReadPort, reply));  // still there
        assertEquals(0x42, reply[0]);
        assertEquals(6, SimulatedPrinters.received(printer).length);
    }

    @Test
    void onTheMakersDriverTheOtherPipesHandleIsTheLibrarysOwn() {
        attachSupported(MAKER);
        PortHandles handles = holder();
        openBoth(handles, MAKER);
        // Reading on the output pipe fails in the driver; a device request reaches it.
        assertEquals(-1, port.usbReadInputPipe(handles.hWritePort, new byte[4]));
        assertEquals(0, port.usbSetCommTimeout(handles.hWritePort, 1, 2, 3, 4, 5));
        assertEquals(3, port.usbGetCommTimeout(handles.hWritePort));
        // Closing the read pipe with the write pipe's handle closes the write pipe.
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
        assertEquals(INVALID_HANDLE, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {1}));
        handles.hWritePort = 0;
    }

    @Test
    void onPrinterClassForeignValuesCloseNothingAndControlCallsAnswerOne() {
        attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        openBoth(handles, PRINTER_CLASS);
        int open = SimulatedPrinters.openHandleCount();
        for (int value : foreignHandles(0x12340)) {
            assertEquals(1, port.usbGetCommTimeout(value));
            assertEquals(1, port.usbSetCommTimeout(value, 1, 2, 3, 4, 5));
            assertEquals(1, port.usbPurgeRequest(value));
            assertEquals(INVALID_HANDLE, port.usbClosePipe(value), "close " + value);
            assertEquals(open, SimulatedPrinters.openHandleCount());
        }
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {'w'}));
        int readName = handles.hReadPort;
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
        assertEquals(handlesAtStart(), SimulatedPrinters.openHandleCount());
        assertEquals(INVALID_HANDLE, port.usbClosePipe(readName), "the session is closed already");
        handles.hReadPort = handles.hWritePort = 0;
    }

    @Test
    void accessValuesOtherThanTheTwoOpenNothingAndStoreNothing() {
        attachSupported(MAKER);
        PortHandles handles = holder();
        int open = SimulatedPrinters.openHandleCount();
        for (int access : new int[] {0, 1, -1, 0xC0000000, 0x10000000, 0x20000000}) {
            assertEquals(-1, port.usbInitPipe(handles, access), "access " + access);
        }
        assertEquals(0, handles.hReadPort);
        assertEquals(0, handles.hWritePort);
        assertEquals(open, SimulatedPrinters.openHandleCount());
        assertThrows(NoSuchFieldError.class, () -> port.usbInitPipe(new Object(), genericWrite));
        assertThrows(NoSuchFieldError.class, () -> port.usbInitPipe("a string", genericRead));
        assertEquals(open, SimulatedPrinters.openHandleCount());
    }

    @Test
    void everyErrorCodeGetsAText() {
        for (int code : new int[] {0, -1, Integer.MIN_VALUE, Integer.MAX_VALUE, 6, 317}) {
            String text = port.usbGetErrorString(code);
            assertNotNull(text);
            assertTrue(text.endsWith("\n"), text);
        }
    }
}
