package com.palvex.printer.sim;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

class SimulatedPrintersTest {
    @AfterEach
    void cleanUp() {
        SimulatedPrinters.reset();
    }

    private static int supportedPrinter(int driverKind) {
        int pair = SimulatedPrinters.supportedIds()[0];
        return SimulatedPrinters.attach(driverKind, pair >>> 16, pair & 0xFFFF, "JUNIT");
    }

    @Test
    void everyControlReachesAnAttachedPrinterAndIdsRestartAfterReset() {
        SimulatedPrinters.reset();
        assertEquals(10, SimulatedPrinters.supportedIds().length);
        assertEquals(1, supportedPrinter(SimulatedPrinters.MAKER_DRIVER));
        int id = supportedPrinter(SimulatedPrinters.PRINTER_CLASS_DRIVER);
        assertEquals(2, id);
        SimulatedPrinters.send(id, new byte[] {1, 2, 3});
        SimulatedPrinters.setStatusByte(id, 1, 0x16);
        SimulatedPrinters.setReadMode(id, SimulatedPrinters.READS_COMPLETE_AT_ONCE);
        SimulatedPrinters.failNextReads(id, 31, 1);
        SimulatedPrinters.failNextOpens(id, 32, 1);
        SimulatedPrinters.detach(id);
        SimulatedPrinters.reattach(id);
        assertArrayEquals(new byte[0], SimulatedPrinters.received(id));
        assertEquals(0, SimulatedPrinters.openHandleCount());
        SimulatedPrinters.reset();
        assertEquals(0, SimulatedPrinters.takeDebugOutput().length);
        assertEquals(1, supportedPrinter(SimulatedPrinters.MAKER_DRIVER));
    }

    @Test
    void unknownIdsAndBadArgumentsThrowIllegalArgument() {
        SimulatedPrinters.reset();
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.detach(1));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.received(7));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.attach(2, 1, 1, null));
        int id = supportedPrinter(SimulatedPrinters.MAKER_DRIVER);
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.send(id + 1, new byte[] {1}));
        assertThrows(IllegalArgumentException.class, () -> SimulatedPrinters.setStatusByte(id, 5, 0x12));
        assertThrows(NullPointerException.class, () -> SimulatedPrinters.send(id, null));
    }
}
