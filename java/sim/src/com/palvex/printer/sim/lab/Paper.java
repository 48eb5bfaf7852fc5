package com.palvex.printer.sim.lab;

/** What the paper sensors of a printer say. */
public enum Paper {
    /** Enough paper. */
    PRESENT,
    /** The roll runs low: the printer still prints. */
    NEAR_END,
    /** No paper: the printer stops printing. */
    OUT
}
