package com.palvex.printer;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.palvex.printer.sim.SimulatedPrinters;
import java.io.File;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Test;

/** Several Java threads on one port, and a JVM that exits with a read waiting. */
class ConcurrencyTest extends PortFixture {

    /**
     * The close must end the read, not its own 500 ms timeout: the reader takes every reply,
     * then its next read begins to wait, and the close comes right then. A read that ran into
     * its timeout would return no sooner than half a second after that.
     */
    @Test
    void aWaitingReadReturnsPromptlyWhenAnotherThreadCloses() throws Exception {
        int printer = attachSupported(PRINTER_CLASS);
        PortHandles handles = holder();
        openBoth(handles, PRINTER_CLASS);
        AtomicInteger replies = new AtomicInteger(0);
        AtomicInteger lastRead = new AtomicInteger(0);
        AtomicLong returnedAt = new AtomicLong(0);
        CountDownLatch lastReadMayBegin = new CountDownLatch(1);
        long readerDeadline = System.nanoTime() + 10_000_000_000L;
        Thread reader = new Thread(() -> {
            while (replies.get() < 20 && System.nanoTime() < readerDeadline) {
                int n = port.usbReadInputPipe(handles.hReadPort, new byte[16]);
                if (n > 0) replies.addAndGet(n);
            }
            try {
                lastReadMayBegin.await();
            } catch (InterruptedException e) {
                return;
            }
            lastRead.set(port.usbReadInputPipe(handles.hReadPort, new byte[16]));
            returnedAt.set(System.nanoTime());
        });
        reader.setDaemon(true);
        reader.start();
        for (int i = 0; i < 20; i++) port.usbWriteOutputPipe(handles.hWritePort, new byte[] {0x10, 0x04, 1});
        long deadline = System.nanoTime() + 10_000_000_000L;
        while (replies.get() < 20 && System.nanoTime() < deadline) Thread.sleep(1);
        assertEquals(20, replies.get());
        traces();
        lastReadMayBegin.countDown();
        awaitTrace("GetPCLSData(#) Before WaitForMultipleObjects");
        long waitBegan = System.nanoTime();
        assertEquals(0, port.usbClosePipe(handles.hReadPort));
        reader.join(5000);
        assertTrue(!reader.isAlive(), "the read did not return after the close");
        assertEquals(-1, lastRead.get());
        assertTrue(returnedAt.get() - waitBegan < 400_000_000L,
                "the read returned only after " + (returnedAt.get() - waitBegan) / 1_000_000 + " ms");
        assertTrue(SimulatedPrinters.received(printer).length >= 60);
        handles.hReadPort = handles.hWritePort = 0;
    }


    @Test
    void manyOpenCloseCyclesWithAReaderRunningLeakNothing() throws Exception {
        for (int kind : new int[] {MAKER, PRINTER_CLASS}) {
            SimulatedPrinters.reset();
            int start = SimulatedPrinters.openHandleCount();
            attachSupported(kind);
            PortHandles shared = holder();
            java.util.concurrent.atomic.AtomicBoolean stop = new java.util.concurrent.atomic.AtomicBoolean();
            Thread reader = new Thread(() -> {
                byte[] data = new byte[8];
                while (!stop.get()) port.usbReadInputPipe(shared.hReadPort, data);
            });
            reader.setDaemon(true);
            reader.start();
            try {
                for (int i = 0; i < 1000; i++) {
                    PortHandles handles = new PortHandles();
                    openBoth(handles, kind);
                    shared.hReadPort = handles.hReadPort;
                    port.usbClosePipe(handles.hWritePort);
                    port.usbClosePipe(handles.hReadPort);
                }
            } finally {
                stop.set(true);
                reader.join(10_000);
            }
            shared.hReadPort = 0;
            assertEquals(start, SimulatedPrinters.openHandleCount(), "driver kind " + kind);
        }
    }

    /** A JVM that exits while a read pipe is open and a read is waiting exits cleanly. */
    @Test
    void theJvmExitsCleanlyWithAReadWaiting() throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        ProcessBuilder builder = new ProcessBuilder(java, "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("vantory.test.classpath"), ExitWhileReading.class.getName());
        builder.redirectErrorStream(true);
        Process process = builder.start();
        String output = new String(process.getInputStream().readAllBytes());
        assertTrue(process.waitFor(60, TimeUnit.SECONDS), "the JVM did not exit");
        assertEquals(0, process.exitValue(), output);
        assertTrue(output.contains("reading"), output);
        assertTrue(!output.contains("WARNING"), output);
    }
}
