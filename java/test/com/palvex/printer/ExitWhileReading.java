package com.palvex.printer;

import com.palvex.printer.sim.SimulatedPrinters;

/** Opens a Printer Class read pipe, starts a read that waits, and leaves the JVM. */
public final class ExitWhileReading {
    private ExitWhileReading() {}

    public static void main(String[] args) throws Exception {
        int pair = SimulatedPrinters.supportedIds()[0];
        SimulatedPrinters.attach(SimulatedPrinters.PRINTER_CLASS_DRIVER, pair >>> 16, pair & 0xFFFF, "EXIT");
        UsbPort port = new UsbPort();
        PortHandles handles = new PortHandles();
        if (port.usbInitPipe(handles, port.usbGetGenericReadValue()) != 1) System.exit(3);
        Thread reader = new Thread(() -> {
            while (true) port.usbReadInputPipe(handles.hReadPort, new byte[4]);
        });
        reader.setDaemon(true);
        reader.start();
        // The read is waiting once its wait for data is traced.
        long deadline = System.nanoTime() + 30_000_000_000L;
        boolean waiting = false;
        while (!waiting && System.nanoTime() < deadline) {
            for (String line : SimulatedPrinters.takeDebugOutput()) {
                waiting |= line.startsWith("GetPCLSData(") && line.endsWith("Before WaitForMultipleObjects");
            }
            if (!waiting) Thread.sleep(5);
        }
        System.out.println(waiting ? "reading" : "the read never waited");
        System.exit(0);
    }
}
