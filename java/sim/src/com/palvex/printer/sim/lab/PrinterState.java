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

    static PrinterState fromBits(int bits, boolean pluggedIn) {
        return new PrinterState(Paper.values()[bits & 3], (bits & (1 << 2)) != 0,
                (bits & (1 << 3)) == 0, (bits & (1 << 4)) != 0, (bits & (1 << 5)) != 0,
                (bits & (1 << 6)) != 0, pluggedIn);
    }

    int toBits() {
        return paper.ordinal() | (coverOpen ? 1 << 2 : 0) | (online ? 0 : 1 << 3)
                | (recoverableError ? 1 << 4 : 0) | (unrecoverableError ? 1 << 5 : 0)
                | (drawerOpen ? 1 << 6 : 0);
    }

    PrinterState withPaper(Paper value) {
        return new PrinterState(value, coverOpen, online, recoverableError, unrecoverableError,
                drawerOpen, pluggedIn);
    }

    PrinterState withCoverOpen(boolean value) {
        return new PrinterState(paper, value, online, recoverableError, unrecoverableError,
                drawerOpen, pluggedIn);
    }

    PrinterState withOnline(boolean value) {
        return new PrinterState(paper, coverOpen, value, recoverableError, unrecoverableError,
                drawerOpen, pluggedIn);
    }

    PrinterState withErrors(boolean recoverable, boolean unrecoverable) {
        return new PrinterState(paper, coverOpen, online, recoverable, unrecoverable, drawerOpen,
                pluggedIn);
    }

    PrinterState withDrawerOpen(boolean value) {
        return new PrinterState(paper, coverOpen, online, recoverableError, unrecoverableError,
                value, pluggedIn);
    }
}
