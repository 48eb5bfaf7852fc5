package com.palvex.printer.sim.lab;

/**
 * What a virtual printer is like at one moment: its paper, cover, whether it is on line, its
 * errors, its cash drawer and whether it is plugged in. A printer prints when it has paper,
 * its cover is closed, it is on line and in no error.
 */
public record PrinterState(
        Paper paper,
        boolean coverOpen,
        boolean online,
        boolean recoverableError,
        boolean unrecoverableError,
        boolean drawerOpen,
        boolean pluggedIn) {

    /** Whether it prints what it receives; otherwise it keeps up to 4 KiB, then refuses. */
    public boolean prints() {
        return paper != Paper.OUT && !coverOpen && online && !recoverableError
                && !unrecoverableError;
    }

    // The bits of SimulatedPrinters.state.
    static final int PAPER = 3;
    static final int COVER_OPEN = 1 << 2;
    static final int OFFLINE = 1 << 3;
    static final int RECOVERABLE_ERROR = 1 << 4;
    static final int UNRECOVERABLE_ERROR = 1 << 5;
    static final int DRAWER_OPEN = 1 << 6;

    static PrinterState fromBits(int bits, boolean pluggedIn) {
        return new PrinterState(Paper.values()[bits & 3], (bits & (1 << 2)) != 0,
                (bits & (1 << 3)) == 0, (bits & (1 << 4)) != 0, (bits & (1 << 5)) != 0,
                (bits & (1 << 6)) != 0, pluggedIn);
    }
}
