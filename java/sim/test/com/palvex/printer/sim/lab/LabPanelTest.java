package com.palvex.printer.sim.lab;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.Socket;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The panel over HTTP, as a browser (or another site in that browser) meets it. */
@WithPrinter
class LabPanelTest {
    private LabPanel panel;
    private int port;

    @BeforeEach
    void start() {
        // The printer comes from the extension, made before this runs.
    }

    @AfterEach
    void stop() {
        if (panel != null) panel.close();
    }

    private void open(VirtualPrinter printer) throws IOException {
        panel = LabPanel.start(List.of(printer), 0);
        port = URI.create(panel.address()).getPort();
    }

    // Opens the page's event stream on `socket` and reads up to its snapshot.
    private BufferedReader watchEvents(Socket socket) throws IOException {
        socket.setSoTimeout(10_000);
        socket.getOutputStream().write(("GET /events HTTP/1.1\r\nHost: " + local() + "\r\n\r\n")
                .getBytes(StandardCharsets.US_ASCII));
        BufferedReader in = new BufferedReader(new InputStreamReader(socket.getInputStream(), StandardCharsets.UTF_8));
        assertTrue(readUntil(in, "event: snapshot"));
        return in;
    }

    /** A raw request: the status line and the body of the answer. */
    private String[] request(String method, String path, String host, String token, String body)
            throws IOException {
        return request(method, path, host, token, body, "");
    }

    private String[] request(String method, String path, String host, String token, String body, String headers)
            throws IOException {
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), port)) {
            StringBuilder head = new StringBuilder();
            head.append(method).append(' ').append(path).append(" HTTP/1.1\r\n");
            head.append("Host: ").append(host).append("\r\n");
            if (token != null) head.append("X-Lab-Token: ").append(token).append("\r\n");
            head.append(headers);
            byte[] content = body == null ? new byte[0] : body.getBytes(StandardCharsets.UTF_8);
            if (body != null) {
                head.append("Content-Type: application/x-www-form-urlencoded\r\n");
                head.append("Content-Length: ").append(content.length).append("\r\n");
            }
            head.append("Connection: close\r\n\r\n");
            OutputStream out = socket.getOutputStream();
            out.write(head.toString().getBytes(StandardCharsets.US_ASCII));
            out.write(content);
            out.flush();
            InputStream in = socket.getInputStream();
            String answer = new String(in.readAllBytes(), StandardCharsets.UTF_8);
            String status = answer.substring(0, answer.indexOf("\r\n"));
            String rest = answer.substring(answer.indexOf("\r\n\r\n") + 4);
            return new String[] {status, rest};
        }
    }

    private String local() {
        return "127.0.0.1:" + port;
    }

    // Only this run's token changes anything, only by POST, only addressed to the loopback
    // names; malformed, oversized or unknown requests get a 4xx answer and change nothing.
    @Test
    void changesNeedThisRunsTokenAndAWellFormedPost(VirtualPrinter printer) throws IOException {
        open(printer);
        assertEquals(InetAddress.getLoopbackAddress(), InetAddress.getByName(URI.create(panel.address()).getHost()));
        String[] noToken = request("POST", "/control", local(), null, "action=paperOut");
        assertTrue(noToken[0].contains(" 403 "), noToken[0]);
        String[] wrongToken = request("POST", "/control", local(), "0123", "action=paperOut");
        assertTrue(wrongToken[0].contains(" 403 "), wrongToken[0]);
        String[] byGet = request("GET", "/control?action=paperOut", local(), panel.token(), null);
        assertTrue(byGet[0].contains(" 405 "), byGet[0]);
        String[] otherHost = request("POST", "/control", "attacker.example:" + port, panel.token(), "action=paperOut");
        assertTrue(otherHost[0].contains(" 421 "), otherHost[0]);
        String[] unknown = request("POST", "/control", local(), panel.token(), "action=setFire");
        assertTrue(unknown[0].contains(" 400 "), unknown[0]);
        String[] malformed = request("POST", "/control", local(), panel.token(), "action=%zz&=");
        assertTrue(malformed[0].contains(" 400 "), malformed[0]);
        String[] huge = request("POST", "/control", local(), panel.token(), "action=" + "x".repeat(5000));
        assertTrue(huge[0].contains(" 413 "), huge[0]);
        String[] missing = request("GET", "/receipt/../../etc/passwd", local(), null, null);
        assertTrue(missing[0].contains(" 404 "), missing[0]);
        String[] absolute = request("POST", "http://attacker.example:" + port + "/control", local(), panel.token(), "action=paperOut");
        assertTrue(absolute[0].contains(" 421 "), absolute[0]);
        String[] crossSite = request("POST", "/control", local(), panel.token(), "action=paperOut", "Sec-Fetch-Site: cross-site\r\n");
        assertTrue(crossSite[0].contains(" 403 "), crossSite[0]);
        String[] probed = request("GET", "/state", local(), null, null, "Sec-Fetch-Site: same-site\r\n");
        assertTrue(probed[0].contains(" 403 "), probed[0]);
        assertEquals(Paper.PRESENT, printer.state().paper());

        String[] done = request("POST", "/control", "localhost:" + port, panel.token(), "action=paperOut");
        assertTrue(done[0].contains(" 204 "), done[0]);
        assertEquals(Paper.OUT, printer.state().paper());
        String page = request("GET", "/", local(), null, null)[1];
        assertTrue(page.contains(panel.token()), "the page carries the token");
    }

    // What a receipt prints reaches the page as JSON text in which no markup survives.
    @Test
    void printedMarkupReachesThePageOnlyAsEscapedText(VirtualPrinter printer) throws IOException {
        String hostile = "<script>alert(1)</script><img src=x onerror=alert(2)>\n";
        printer.send(new byte[0]);  // the printer exists and is idle
        com.palvex.printer.PortHandles handles = new com.palvex.printer.PortHandles();
        com.palvex.printer.UsbPort usb = new com.palvex.printer.UsbPort();
        assertEquals(1, usb.usbInitPipe(handles, usb.usbGetGenericWriteValue()));
        assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, hostile.getBytes(StandardCharsets.US_ASCII)));
        usb.usbClosePipe(handles.hWritePort);
        open(printer);
        String state = request("GET", "/state", local(), null, null)[1];
        assertFalse(state.contains("<"), state);
        assertFalse(state.contains(">"), state);
        assertTrue(state.contains("\\u003cscript\\u003ealert(1)"), state);
    }

    // The page gets what there is at once, then every change as it happens.
    @Test
    void theEventStreamSendsASnapshotThenEachChange(VirtualPrinter printer) throws IOException {
        open(printer);
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), port)) {
            BufferedReader in = watchEvents(socket);
            printer.openCover();
            assertTrue(readUntil(in, "\"coverOpen\":true"));
            // A library that traces faster than anyone reads: a look tells the newest lines
            // and how many it left out.
            printer.closeCover();
            com.palvex.printer.PortHandles handles = new com.palvex.printer.PortHandles();
            com.palvex.printer.UsbPort usb = new com.palvex.printer.UsbPort();
            assertEquals(1, usb.usbInitPipe(handles, usb.usbGetGenericWriteValue()));
            for (int i = 0; i < 20_000; i++) assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, new byte[] {'.'}));
            usb.usbClosePipe(handles.hWritePort);
            assertTrue(readUntil(in, " trace lines left out)"));
        }
    }

    // A burst slows the panel down only while it lasts: then the page shows every receipt of
    // a till that prints sixty a second. A receipt that prints slowly, without a cut, reaches
    // the page as it ends.
    @Test
    void aPageSeesEveryReceiptOnceABurstIsOverAndEachReceiptAsItEnds(VirtualPrinter printer) throws Exception {
        open(printer);
        com.palvex.printer.PortHandles handles = new com.palvex.printer.PortHandles();
        com.palvex.printer.UsbPort usb = new com.palvex.printer.UsbPort();
        assertEquals(1, usb.usbInitPipe(handles, usb.usbGetGenericWriteValue()));
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), port)) {
            BufferedReader in = watchEvents(socket);
            assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, "burst\n\u001dV\u0001".repeat(30).getBytes(StandardCharsets.US_ASCII)));
            int last = 30 + 120;
            for (int i = 31; i <= last; i++) {
                Thread.sleep(16);  // the till's pace
                assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, ("sale " + i + "\n\u001dV\u0001").getBytes(StandardCharsets.US_ASCII)));
            }
            // Those of the second second on.
            for (int i = 30 + 60; i <= last; i++) assertTrue(readUntil(in, "\"number\":" + i + ",\"cut\":true"), "receipt " + i);

            for (int line = 1; line <= 20; line++) {
                Thread.sleep(50);
                assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, ("line " + line + "\n").getBytes(StandardCharsets.US_ASCII)));
            }
            assertTrue(readUntil(in, "line 19\\nline 20\\n\",\"picture\""), "the receipt still printing, as it ended");
        } finally {
            usb.usbClosePipe(handles.hWritePort);
        }
    }

    // A library that traces faster than anyone reads slows the panel's looks down, and yet a
    // page sees every receipt of a till that prints sixty a second, of 60 kB each (three times
    // what a USB printer takes).
    @Test
    void aFloodOfTraceLinesHidesNoReceipt(VirtualPrinter printer) throws Exception {
        open(printer);
        com.palvex.printer.PortHandles handles = new com.palvex.printer.PortHandles();
        com.palvex.printer.UsbPort usb = new com.palvex.printer.UsbPort();
        assertEquals(1, usb.usbInitPipe(handles, usb.usbGetGenericWriteValue()));
        java.util.concurrent.atomic.AtomicBoolean tilling = new java.util.concurrent.atomic.AtomicBoolean(true);
        Thread tracing = new Thread(() -> {
            while (tilling.get()) usb.usbWriteOutputPipe(handles.hWritePort, new byte[] {0});
        });
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), port)) {
            BufferedReader in = watchEvents(socket);
            tracing.start();
            assertTrue(readUntil(in, " trace lines left out)"));
            String lines = ("x".repeat(47) + "\n").repeat(1250);
            for (int i = 1; i <= 90; i++) {
                Thread.sleep(16);  // the till's pace
                assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, ("sale " + i + "\n" + lines + "\u001dV\u0001").getBytes(StandardCharsets.US_ASCII)));
            }
            tilling.set(false);  // so that the stream falls quiet, and a receipt missing ends the read
            tracing.join();
            for (int i = 1; i <= 90; i++) assertTrue(readUntil(in, "\"number\":" + i + ",\"cut\":true"), "receipt " + i);
        } finally {
            tilling.set(false);
            tracing.join();
            usb.usbClosePipe(handles.hWritePort);
        }
    }

    // A page that stops reading its event stream holds up neither the other pages nor the
    // application: the panel drops it once it falls far behind.
    @Test
    void aPageThatStopsReadingHoldsUpNoOther(VirtualPrinter printer) throws IOException {
        open(printer);
        com.palvex.printer.PortHandles handles = new com.palvex.printer.PortHandles();
        com.palvex.printer.UsbPort usb = new com.palvex.printer.UsbPort();
        assertEquals(1, usb.usbInitPipe(handles, usb.usbGetGenericWriteValue()));
        try (Socket stalled = new Socket(); Socket watching = new Socket(InetAddress.getLoopbackAddress(), port)) {
            stalled.setReceiveBufferSize(4096);
            stalled.connect(new java.net.InetSocketAddress(InetAddress.getLoopbackAddress(), port));
            byte[] get = ("GET /events HTTP/1.1\r\nHost: " + local() + "\r\n\r\n").getBytes(StandardCharsets.US_ASCII);
            stalled.getOutputStream().write(get);
            watching.setSoTimeout(10_000);
            watching.getOutputStream().write(get);
            BufferedReader in = new BufferedReader(new InputStreamReader(watching.getInputStream(), StandardCharsets.UTF_8));
            assertTrue(readUntil(in, "event: snapshot"));
            // Receipts of 200 kB each: what the stalled page does not read soon outgrows
            // every buffer between it and the panel.
            byte[] receipt = (("x".repeat(47) + "\n").repeat(200_000 / 48) + "\u001dV\u0001").getBytes(StandardCharsets.US_ASCII);
            // Four at a time: fewer than one look tells a page of.
            for (int first = 1; first <= 60; first += 4) {
                for (int i = first; i < first + 4; i++) assertEquals(0, usb.usbWriteOutputPipe(handles.hWritePort, receipt));
                for (int i = first; i < first + 4; i++) {
                    assertTrue(readUntil(in, "\"number\":" + i + ",\"cut\":true"), "receipt " + i + " reached the page");
                }
            }
        } finally {
            usb.usbClosePipe(handles.hWritePort);
        }
    }

    // Pages that go away at once, even before their stream began, give their places back:
    // the next page is served.
    @Test
    void pagesThatWentAwayGiveTheirPlacesBack(VirtualPrinter printer) throws IOException {
        open(printer);
        byte[] get = ("GET /events HTTP/1.1\r\nHost: " + local() + "\r\n\r\n").getBytes(StandardCharsets.US_ASCII);
        for (int i = 0; i < 40; i++) {
            try (Socket gone = new Socket(InetAddress.getLoopbackAddress(), port)) {
                gone.setSoLinger(true, 0);  // a reset, not a goodbye
                gone.getOutputStream().write(get);
            }
        }
        String[] next = request("GET", "/state", local(), null, null);
        assertTrue(next[0].contains(" 200 "), next[0]);
        long deadline = System.nanoTime() + 20_000_000_000L;
        String status;
        do {
            try (Socket page = new Socket(InetAddress.getLoopbackAddress(), port)) {
                page.setSoTimeout(10_000);
                page.getOutputStream().write(get);
                status = new BufferedReader(new InputStreamReader(page.getInputStream(), StandardCharsets.US_ASCII)).readLine();
            }
        } while (!status.contains(" 200 ") && System.nanoTime() < deadline);
        assertTrue(status.contains(" 200 "), status);

        // Sixteen pages watch at once at most (a page that just left may hold its place until
        // its stream next writes); the seventeenth is told so.
        java.util.List<Socket> pages = new java.util.ArrayList<>();
        try {
            int admitted = 0;
            String last = "";
            for (int i = 0; i < 17; i++) {
                Socket page = new Socket(InetAddress.getLoopbackAddress(), port);
                pages.add(page);
                page.setSoTimeout(10_000);
                page.getOutputStream().write(get);
                last = new BufferedReader(new InputStreamReader(page.getInputStream(), StandardCharsets.US_ASCII)).readLine();
                if (last.contains(" 200 ")) admitted++;
            }
            assertTrue(admitted >= 1 && admitted <= 16, admitted + " pages admitted");
            assertTrue(last.contains(" 503 "), last);
        } finally {
            for (Socket page : pages) page.close();
        }
    }

    private static boolean readUntil(BufferedReader in, String wanted) throws IOException {
        for (String line; (line = in.readLine()) != null; ) {
            if (line.contains(wanted)) return true;
        }
        return false;
    }
}
