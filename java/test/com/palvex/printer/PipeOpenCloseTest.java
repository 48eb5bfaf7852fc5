package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.SimulatedPrinters;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Opening and closing pipes on both drivers, as an application sees it. */
class PipeOpenCloseTest extends PortFixture {

    @Test
    void printerClassHandsBackItsReadHandleAndCreatesNothingMore() {
        attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        assertEquals(1, port.usbInitPipe(handles, genericRead));
        int first = handles.hReadPort;
        traces();
        PortHandles again = holder();
        assertEquals(1, port.usbInitPipe(again, genericRead));
        assertEquals(first, again.hReadPort);
        List<String> lines = traces();
        assertEquals(1, count(lines, "usbInitPipe(#) ...Just Returning handle"));
        assertEquals(0, count(lines, "usbInitPipe(#) *****Creating m_hWorkerThread*****"));
        assertEquals(0, port.usbClosePipe(first));
    }

    @Test
    void makersDriverOpensANewReadHandleOnEveryCall() {
        attachSupported(MAKER);
        PortHandles a = holder();
        PortHandles b = holder();
        assertEquals(0, port.usbInitPipe(a, genericRead));
        assertEquals(0, port.usbInitPipe(b, genericRead));
        assertNotEquals(a.hReadPort, b.hReadPort);
        assertTrue(traces().contains("usbInitPipe(#) IDNATIVETYPE"));
        assertEquals(0, port.usbClosePipe(a.hReadPort));
        assertEquals(0, port.usbClosePipe(b.hReadPort));
    }

    @Test
    void secondWriteOpenHandsBackTheFirstOnEitherDriver() {
        for (int kind : new int[] {MAKER, PRINTER_CLASS}) {
            SimulatedPrinters.reset();
            attachSupported(kind);
            PortHandles a = holder();
            PortHandles b = holder();
            assertEquals(kind, port.usbInitPipe(a, genericWrite));
            assertEquals(kind, port.usbInitPipe(b, genericWrite));
            assertEquals(a.hWritePort, b.hWritePort);
            assertEquals(0, port.usbClosePipe(a.hWritePort));
        }
    }

    @Test
    void withoutAPrinterNothingIsStoredAndTheSearchStopsEarly() {
        PortHandles handles = holder();
        handles.hReadPort = 77;
        handles.hWritePort = 78;
        assertEquals(-1, port.usbInitPipe(handles, genericWrite));
        assertEquals(-1, port.usbInitPipe(handles, genericRead));
        assertEquals(77, handles.hReadPort);
        assertEquals(78, handles.hWritePort);
        assertEquals(2, count(traces(), "usbInitPipe(#) ******Starting******"));
    }

    @Test
    void anAccessValueThatNamesNoPipeOpensNothing() {
        attachSupported(MAKER);
        PortHandles handles = holder();
        assertEquals(-1, port.usbInitPipe(handles, 0x12345));
        assertEquals(-1, port.usbInitPipe(null, genericWrite));
        assertEquals(0, handles.hReadPort);
        assertEquals(0, handles.hWritePort);
    }

    /** A holder without the field: the JVM's NoSuchFieldError reaches the caller. */
    static class NoFields {}

    @Test
    void aHolderWithoutTheFieldGetsTheJvmsErrorAndNothingIsOpened() {
        attachSupported(MAKER);
        assertThrows(NoSuchFieldError.class, () -> port.usbInitPipe(new NoFields(), genericWrite));
    }

    @Test
    void onPrinterClassClosingEitherPipeClosesBoth() {
        attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        openBoth(handles, PRINTER_CLASS);
        traces();
        assertEquals(0, port.usbClosePipe(handles.hReadPort));
        List<String> first = traces();
        assertTrue(first.contains("usbClosePipe(#) Close Read Handle"));
        assertTrue(first.contains("usbClosePipe(#) Close Write Handle"));
        // The write pipe's name ended with the session: refused, and nothing is touched.
        assertEquals(6, port.usbClosePipe(handles.hWritePort));
        assertEquals(List.of("usbClosePipe(#) Entry"), traces());
    }

    @Test
    void afterTheWorkerReplacedTheHandlesOneCloseReleasesBothPipes() throws Exception {
        int printer = attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        openBoth(handles, PRINTER_CLASS);
        SimulatedPrinters.detach(printer);
        awaitTrace("ReopenCom(#) Handles Invalid");
        SimulatedPrinters.reattach(printer);
        awaitTrace("ReopenCom(#) Handles Valid");
        traces();
        // The names Java holds still name the session's pipes; the close says that recovery
        // replaced the device handles since (the differ texts) and releases both pipes.
        assertEquals(0, port.usbClosePipe(handles.hReadPort));
        List<String> lines = traces();
        assertTrue(lines.contains("usbClosePipe(#) differ close res rv=0"), lines.toString());
        assertEquals("usbClosePipe(#) Exit", lines.get(lines.size() - 1));
        assertEquals(handlesAtStart(), SimulatedPrinters.openHandleCount());
        handles.hReadPort = handles.hWritePort = 0;
    }

    @Test
    void makersDriverCloseEmptiesTheWriteHandleSoTheNextOpenMakesANewOne() {
        attachSupported(MAKER);
        PortHandles handles = holder();
        assertEquals(0, port.usbInitPipe(handles, genericWrite));
        int open = SimulatedPrinters.openHandleCount();
        traces();
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
        assertEquals(List.of("usbClosePipe(#) Entry", "usbClosePipe(#) ?????"), traces());
        assertEquals(open - 1, SimulatedPrinters.openHandleCount());
        // A new handle (the system may well give it the value just freed), not the closed one.
        assertEquals(0, port.usbInitPipe(handles, genericWrite));
        assertEquals(open, SimulatedPrinters.openHandleCount());
        assertEquals(0, port.usbWriteOutputPipe(handles.hWritePort, new byte[] {1}));
        assertEquals(0, port.usbClosePipe(handles.hWritePort));
        assertEquals(6, port.usbClosePipe(handles.hWritePort));  // no longer open
    }

}
