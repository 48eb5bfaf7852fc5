package com.palvex.printer.sim.lab;

import com.palvex.printer.sim.SimulatedPrinters;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.URLDecoder;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.SecureRandom;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Deque;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.ThreadFactory;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Consumer;

/**
 * The printer lab's page: one static page, served by the JDK's own HTTP server on the
 * loopback address only, that shows each printer's paper as it prints, its state with its
 * controls, the newest bytes each way and the library's trace, and pushes every change to
 * the page as it happens (server-sent events).
 *
 * <p>It lets no one in: it answers only requests addressed to 127.0.0.1 or localhost (a page
 * of another site that has made its own name point here is refused), changes come only by
 * POST with the token of this run, which the page carries and no other site can read, and
 * everything a receipt or a trace line contains reaches the page as JSON text that the page
 * shows as text. A request that is malformed or too large gets a 4xx answer.
 */
public final class LabPanel implements AutoCloseable {
    /** How often the panel looks at the printers for something new. */
    private static final long LOOK_EVERY_MS = 50;
    /**
     * How long the panel waits after a look that found more than it tells a page (receipts
     * folded away, trace lines left out) before it looks again; a click still makes it look
     * at once. A page keeps up with an application that prints without pause at a couple of
     * updates a second, and the browser showing it takes little of the machine that the
     * application runs on.
     */
    private static final long LOOK_WHEN_BUSY_MS = 500;
    /** The longest body a control request may have. */
    private static final int MAX_BODY = 1024;
    /**
     * The newest receipts a look tells the pages of at most: eight, or as many more as looks
     * at that pace would have told since the last. An application that prints faster than
     * that costs the panel no more, and the receipts in between are folded away on the page.
     */
    private static final int RECEIPTS_PER_LOOK = 8;
    /** What a look tells while an application prints faster than any page shows. */
    private static final int RECEIPTS_PER_FAST_LOOK = 2;
    /** The newest receipts a page that opens gets (the page shows no more). */
    private static final int SNAPSHOT_RECEIPTS = 50;
    /**
     * Trace lines the panel keeps for a page that opens later, and the most one look takes:
     * a library that traces faster than anyone can read costs a look no more than these, and
     * the lines in between are left out (a line says how many).
     */
    private static final int KEPT_TRACE_LINES = 500;
    /**
     * Threads that answer requests at most. A page's event stream holds none (each has a
     * sender of its own), so these only answer short requests; more wait their turn.
     */
    private static final int REQUEST_THREADS = 8;
    /**
     * Event streams open at most. A page that stopped reading keeps its stream's thread
     * until its connection ends, so the number of those is bounded too.
     */
    private static final int MAX_STREAMS = 16;
    /** Bytes of events a page may fall behind by before the panel drops its stream. */
    private static final int MAX_BYTES_BEHIND = 4 << 20;
    /**
     * Seconds a request may take to arrive in full: a client that sends its request slowly,
     * or never finishes it, holds a request thread no longer than this.
     */
    private static final String MAX_REQUEST_SECONDS = "10";

    static {
        // Read once, when the JDK's server is first used; an application's own value stays.
        if (System.getProperty("sun.net.httpserver.maxReqTime") == null) {
            System.setProperty("sun.net.httpserver.maxReqTime", MAX_REQUEST_SECONDS);
        }
    }

    private final List<VirtualPrinter> printers;
    private final HttpServer server;
    private final String token;
    private final byte[] page;
    private final byte[] script;
    private final List<EventStream> streams = new CopyOnWriteArrayList<>();
    private final AtomicInteger senders = new AtomicInteger();  // streams whose sender still runs
    // Held while events go out and while a page's stream joins, so that a page gets its
    // snapshot and then every event after it, in order.
    private final Object publishing = new Object();
    private final Deque<String> trace = new ArrayDeque<>();  // guarded by itself
    private final Thread watcher;
    private final Object lookNow = new Object();  // a change was made: the watcher looks at once
    private boolean changed;                      // guarded by lookNow
    private volatile boolean closed;

    private LabPanel(List<VirtualPrinter> printers, HttpServer server) throws IOException {
        this.printers = List.copyOf(printers);
        this.server = server;
        byte[] secret = new byte[16];
        new SecureRandom().nextBytes(secret);
        this.token = HexFormat.of().formatHex(secret);
        this.page = pageWithToken(token);
        this.script = resource("panel.js");
        server.createContext("/", this::handle);
        ThreadFactory daemons = runnable -> {
            Thread thread = new Thread(runnable, "printer-lab-http");
            thread.setDaemon(true);
            return thread;
        };
        ThreadPoolExecutor requests = new ThreadPoolExecutor(REQUEST_THREADS, REQUEST_THREADS,
                30, TimeUnit.SECONDS, new LinkedBlockingQueue<>(), daemons);
        requests.allowCoreThreadTimeOut(true);
        server.setExecutor(requests);
        watcher = new Thread(this::watch, "printer-lab-watcher");
        watcher.setDaemon(true);
    }

    /**
     * Starts the panel for these printers on 127.0.0.1, on {@code port} (0: any free port).
     * Its threads are daemons: they never keep the application's JVM alive.
     */
    public static LabPanel start(List<VirtualPrinter> printers, int port) throws IOException {
        HttpServer server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), port), 0);
        LabPanel panel = new LabPanel(printers, server);
        // The server's dispatcher thread takes its daemon status from the thread that starts
        // the server: started from a daemon thread, it never keeps the JVM alive.
        Thread starter = new Thread(server::start, "printer-lab-start");
        starter.setDaemon(true);
        starter.start();
        try {
            starter.join();
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IOException("interrupted while starting the panel", e);
        }
        panel.watcher.start();
        return panel;
    }

    /** The page's address. */
    public String address() {
        return "http://127.0.0.1:" + server.getAddress().getPort() + "/";
    }

    /** The token a change must carry (the page has it). */
    public String token() {
        return token;
    }

    @Override
    public void close() {
        synchronized (publishing) {
            closed = true;
        }
        watcher.interrupt();
        for (EventStream stream : streams) stream.close();
        server.stop(0);
    }

    // A control changed a printer: the watcher tells the pages now rather than at its next look.
    private void lookNow() {
        synchronized (lookNow) {
            changed = true;
            lookNow.notifyAll();
        }
    }

    // --- Requests ---------------------------------------------------------------------------

    private void handle(HttpExchange exchange) throws IOException {
        boolean keepOpen = false;
        try {
            if (!addressedToUs(exchange)) {
                answer(exchange, 421, "text/plain", "this panel answers on 127.0.0.1 and localhost only");
                return;
            }
            if (fromAnotherSite(exchange)) {
                answer(exchange, 403, "text/plain", "this panel answers its own page only");
                return;
            }
            String path = exchange.getRequestURI().getPath();
            String method = exchange.getRequestMethod();
            if (path.equals("/control")) {
                if (!method.equals("POST")) {
                    exchange.getResponseHeaders().set("Allow", "POST");
                    answer(exchange, 405, "text/plain", "changes only by POST");
                } else {
                    control(exchange);
                }
                return;
            }
            if (!method.equals("GET")) {
                exchange.getResponseHeaders().set("Allow", "GET");
                answer(exchange, 405, "text/plain", "this address only shows");
                return;
            }
            switch (path) {
                case "/" -> answer(exchange, 200, "text/html; charset=utf-8", page);
                case "/panel.js" -> answer(exchange, 200, "text/javascript; charset=utf-8", script);
                case "/events" -> keepOpen = events(exchange);
                case "/state" -> answer(exchange, 200, "application/json", snapshot());
                default -> {
                    if (path.startsWith("/receipt/")) {
                        receiptPicture(exchange, path.substring("/receipt/".length()));
                    } else {
                        answer(exchange, 404, "text/plain", "nothing here");
                    }
                }
            }
        } catch (RuntimeException e) {
            // A request that breaks something of the panel's never reaches the application.
            try {
                answer(exchange, 400, "text/plain", "bad request");
            } catch (IOException | RuntimeException ignored) {
                // the answer had begun already
            }
        } finally {
            if (!keepOpen) exchange.close();
        }
    }

    // The name the browser used must be ours: a page of another site that points its own
    // name at 127.0.0.1 sends that name, and is refused.
    // A request in absolute form names its host in its address too, and that must be ours.
    private boolean addressedToUs(HttpExchange exchange) {
        String host = exchange.getRequestHeaders().getFirst("Host");
        String authority = exchange.getRequestURI().getRawAuthority();
        return ours(host) && (authority == null || ours(authority));
    }

    private boolean ours(String authority) {
        int port = server.getAddress().getPort();
        return authority != null && (authority.equals("127.0.0.1:" + port) || authority.equals("localhost:" + port));
    }

    // A browser says where a request comes from: a page of another site gets nothing here,
    // not even what the panel shows (its scripts, pictures or frames could read or probe it).
    private static boolean fromAnotherSite(HttpExchange exchange) {
        String site = exchange.getRequestHeaders().getFirst("Sec-Fetch-Site");
        return site != null && (site.equals("cross-site") || site.equals("same-site"));
    }

    private void control(HttpExchange exchange) throws IOException {
        String given = exchange.getRequestHeaders().getFirst("X-Lab-Token");
        if (given == null || !MessageDigest.isEqual(given.getBytes(StandardCharsets.US_ASCII),
                token.getBytes(StandardCharsets.US_ASCII))) {
            answer(exchange, 403, "text/plain", "no change without this run's token");
            return;
        }
        byte[] body = readBody(exchange.getRequestBody());
        if (body == null) {
            answer(exchange, 413, "text/plain", "request too large");
            return;
        }
        Map<String, String> form = parseForm(new String(body, StandardCharsets.UTF_8));
        if (form == null) {
            answer(exchange, 400, "text/plain", "malformed form");
            return;
        }
        VirtualPrinter printer = printerOf(form.get("printer"));
        String action = form.get("action");
        if (printer == null || action == null || !apply(printer, action)) {
            answer(exchange, 400, "text/plain", "no such printer or action");
            return;
        }
        lookNow();
        answer(exchange, 204, "text/plain", new byte[0]);
    }

    private static byte[] readBody(InputStream in) throws IOException {
        byte[] body = in.readNBytes(MAX_BODY + 1);
        return body.length > MAX_BODY ? null : body;
    }

    // application/x-www-form-urlencoded; null when malformed.
    private static Map<String, String> parseForm(String body) {
        Map<String, String> form = new LinkedHashMap<>();
        if (body.isEmpty()) return form;
        for (String pair : body.split("&")) {
            int equals = pair.indexOf('=');
            if (equals <= 0) return null;
            try {
                form.put(URLDecoder.decode(pair.substring(0, equals), StandardCharsets.UTF_8),
                        URLDecoder.decode(pair.substring(equals + 1), StandardCharsets.UTF_8));
            } catch (IllegalArgumentException e) {
                return null;
            }
        }
        return form;
    }

    private VirtualPrinter printerOf(String id) {
        if (id == null) return printers.size() == 1 ? printers.get(0) : null;
        for (VirtualPrinter printer : printers) {
            if (String.valueOf(printer.id()).equals(id)) return printer;
        }
        return null;
    }

    /** The panel's buttons; false for an action it does not know. */
    static boolean apply(VirtualPrinter printer, String action) {
        switch (action) {
            case "unplug" -> printer.unplug();
            case "replug" -> printer.replug();
            case "paperNearEnd" -> printer.paperNearEnd();
            case "paperOut" -> printer.paperOut();
            case "loadPaper" -> printer.loadPaper();
            case "openCover" -> printer.openCover();
            case "closeCover" -> printer.closeCover();
            case "takeOffline" -> printer.takeOffline();
            case "bringOnline" -> printer.bringOnline();
            case "recoverableError" -> printer.recoverableError();
            case "unrecoverableError" -> printer.unrecoverableError();
            case "clearErrors" -> printer.clearErrors();
            case "openDrawer" -> printer.openDrawer();
            case "closeDrawer" -> printer.closeDrawer();
            default -> {
                return false;
            }
        }
        return true;
    }

    private void receiptPicture(HttpExchange exchange, String name) throws IOException {
        // /receipt/<printer>-<number>.png
        if (!name.matches("[0-9]{1,9}-[0-9]{1,9}\\.png")) {
            answer(exchange, 404, "text/plain", "no such receipt");
            return;
        }
        String[] parts = name.substring(0, name.length() - 4).split("-");
        VirtualPrinter printer = printerOf(parts[0]);
        int number = Integer.parseInt(parts[1]);
        if (printer != null) {
            for (Receipt receipt : printer.receipts()) {
                if (receipt.number() == number) {
                    byte[] png;
                    try {
                        png = receipt.png();
                    } catch (IllegalStateException e) {
                        answer(exchange, 500, "text/plain", "cannot draw it: " + e.getMessage());
                        return;
                    }
                    answer(exchange, 200, "image/png", png);
                    return;
                }
            }
        }
        answer(exchange, 404, "text/plain", "no such receipt (old ones are folded away)");
    }

    private static void answer(HttpExchange exchange, int status, String type, String text)
            throws IOException {
        answer(exchange, status, type, text.getBytes(StandardCharsets.UTF_8));
    }

    private static void answer(HttpExchange exchange, int status, String type, byte[] body)
            throws IOException {
        exchange.getResponseHeaders().set("Content-Type", type);
        exchange.getResponseHeaders().set("X-Content-Type-Options", "nosniff");
        exchange.getResponseHeaders().set("Cache-Control", "no-store");
        exchange.getResponseHeaders().set("Cross-Origin-Resource-Policy", "same-origin");
        exchange.getResponseHeaders().set("Content-Security-Policy",
                "default-src 'self'; img-src 'self'; style-src 'self' 'unsafe-inline'; "
                        + "script-src 'self'; connect-src 'self'; frame-ancestors 'none'");
        exchange.sendResponseHeaders(status, body.length == 0 ? -1 : body.length);
        if (body.length > 0) {
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(body);
            }
        }
    }

    // --- Server-sent events -----------------------------------------------------------------

    // Starts a page's event stream and leaves it open (true) for its own sender thread.
    private boolean events(HttpExchange exchange) throws IOException {
        if (senders.incrementAndGet() > MAX_STREAMS) {
            senders.decrementAndGet();
            answer(exchange, 503, "text/plain", "too many pages are open");
            return false;
        }
        // The count is the sender's to give back once it runs; until then, this method's.
        boolean started = false;
        EventStream stream = null;
        try {
            exchange.getResponseHeaders().set("Content-Type", "text/event-stream");
            exchange.getResponseHeaders().set("Cache-Control", "no-store");
            exchange.sendResponseHeaders(200, 0);
            stream = new EventStream(exchange, ended -> {
                streams.remove(ended);
                senders.decrementAndGet();
            });
            synchronized (publishing) {
                if (closed) return false;
                // A page that opens now gets everything there is first, then what changes.
                stream.offer("snapshot", snapshot());
                streams.add(stream);
            }
            stream.start();
            started = true;
            return true;
        } finally {
            if (!started) {
                if (stream != null) streams.remove(stream);
                senders.decrementAndGet();
            }
        }
    }

    // Only the watcher publishes, so events go out in the order things changed.
    private void publish(String event, String json) {
        synchronized (publishing) {
            for (EventStream stream : streams) stream.offer(event, json);
        }
    }

    /**
     * One page's open event stream, with a thread of its own that sends what waits in its
     * queue: a page that reads slowly, or not at all, holds up no other page and no
     * request. A page that falls more than {@value #MAX_BYTES_BEHIND} bytes behind is
     * dropped; its browser opens the stream again and begins from a fresh snapshot.
     */
    private static final class EventStream {
        private static final long KEEP_ALIVE_MS = 15_000;

        private final HttpExchange exchange;
        private final Consumer<EventStream> onEnd;
        private final Deque<byte[]> queue = new ArrayDeque<>();  // guarded by this
        private long queued;                                     // bytes in queue; guarded by this
        private boolean ended;                                   // guarded by this

        EventStream(HttpExchange exchange, Consumer<EventStream> onEnd) {
            this.exchange = exchange;
            this.onEnd = onEnd;
        }

        void start() {
            Thread sender = new Thread(this::send, "printer-lab-events");
            sender.setDaemon(true);
            sender.start();
        }

        synchronized void offer(String event, String json) {
            if (ended) return;
            byte[] bytes = ("event: " + event + "\ndata: " + json + "\n\n").getBytes(StandardCharsets.UTF_8);
            // One event always fits (a snapshot may be larger than the budget on its own).
            if (!queue.isEmpty() && queued + bytes.length > MAX_BYTES_BEHIND) {
                close();
                return;
            }
            queue.addLast(bytes);
            queued += bytes.length;
            notifyAll();
        }

        // Its sender ends once its write in progress ends: at once, or for a page that reads
        // nothing, when the panel closes its connections.
        synchronized void close() {
            ended = true;
            queue.clear();
            queued = 0;
            notifyAll();
        }

        // The next event to send, a keep-alive comment after a quiet while, or null at the end.
        private synchronized byte[] next() throws InterruptedException {
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(KEEP_ALIVE_MS);
            while (!ended && queue.isEmpty()) {
                long left = deadline - System.nanoTime();
                if (left <= 0) return KEEP_ALIVE;
                TimeUnit.NANOSECONDS.timedWait(this, left);
            }
            if (ended) return null;
            byte[] bytes = queue.removeFirst();
            queued -= bytes.length;
            return bytes;
        }

        private void send() {
            try {
                OutputStream out = exchange.getResponseBody();
                for (byte[] bytes = next(); bytes != null; bytes = next()) {
                    out.write(bytes);
                    out.flush();
                }
            } catch (IOException | InterruptedException e) {
                // the page went away, or was dropped
            } finally {
                close();
                onEnd.accept(this);
                exchange.close();
            }
        }
    }

    // A comment line now and then finds a page that went away.
    private static final byte[] KEEP_ALIVE = ":\n\n".getBytes(StandardCharsets.US_ASCII);

    // --- What the page shows ---------------------------------------------------------------

    private final Map<Integer, Watched> watched = new LinkedHashMap<>();  // watcher thread only
    private long lastLookAt = System.nanoTime();                          // watcher thread only

    /** What the page was last told of one printer. */
    private static final class Watched {
        PrinterState state;
        int lastReceipt;
        int lastReceiptSize = -1;
        boolean lastReceiptCut;
        long lastReceiptToldAt;  // System.nanoTime()
        boolean fast;            // the last look found more than looks at the usual pace tell
        long toPrinterTotal = -1;
        long toHostTotal = -1;
    }

    private void watch() {
        while (!closed) {
            boolean busy = false;
            try {
                busy = lookOnce();
            } catch (RuntimeException e) {
                // A printer reset under the panel: look again next time.
            }
            try {
                synchronized (lookNow) {
                    if (!changed) lookNow.wait(busy ? LOOK_WHEN_BUSY_MS : LOOK_EVERY_MS);
                    changed = false;
                }
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    // Tells the pages what changed since the last look; whether the application prints faster
    // than looks at the usual pace could tell (receipts folded away, trace lines left out).
    private boolean lookOnce() {
        boolean more = false;
        long now = System.nanoTime();
        long since = Math.max(0, now - lastLookAt);
        lastLookAt = now;
        // How many looks at the usual pace this one stands for: a look after a pause tells
        // more, and is busy only if the application printed faster than looks at the usual
        // pace could tell, so that a burst slows the panel down only for as long as it lasts.
        double looks = Math.max(1.0, since / (LOOK_EVERY_MS * 1e6));
        int receiptsToTell = (int) (RECEIPTS_PER_LOOK * looks);
        for (VirtualPrinter printer : printers) {
            Watched seen = watched.computeIfAbsent(printer.id(), id -> new Watched());
            PrinterState state = printer.state();
            if (!state.equals(seen.state)) {
                seen.state = state;
                publish("state", stateOf(printer));
            }
            List<Receipt> news = new ArrayList<>();
            for (Receipt receipt : printer.receipts()) {
                boolean fresh = receipt.number() > seen.lastReceipt;
                boolean changed = receipt.number() == seen.lastReceipt
                        && (receipt.size() != seen.lastReceiptSize || receipt.cut() != seen.lastReceiptCut);
                if (fresh || changed) news.add(receipt);
            }
            // A receipt still printing, that only grew, is told again now and then, not at
            // every look.
            if (news.size() == 1 && news.get(0).number() == seen.lastReceipt && !news.get(0).cut()
                    && now - seen.lastReceiptToldAt < LOOK_WHEN_BUSY_MS * 1_000_000L) {
                news.clear();
            }
            // The receipt the pages saw last, as it ended (none stays "printing" on a page),
            // and the newest.
            List<Receipt> told = new ArrayList<>();
            if (!news.isEmpty() && news.get(0).number() == seen.lastReceipt) told.add(news.get(0));
            // Faster than looks at the usual pace could tell, twice running: no page can show
            // it all, and the newest two tell what it prints.
            boolean fast = news.size() - told.size() > receiptsToTell;
            int newest = fast && seen.fast ? RECEIPTS_PER_FAST_LOOK : receiptsToTell;
            seen.fast = fast;
            for (Receipt receipt : news.subList(Math.max(told.size(), news.size() - newest), news.size())) {
                told.add(receipt);
            }
            more |= fast;
            for (Receipt receipt : told) {
                seen.lastReceipt = receipt.number();
                seen.lastReceiptSize = receipt.size();
                seen.lastReceiptCut = receipt.cut();
                seen.lastReceiptToldAt = now;
                publish("receipt", Json.of(receiptOf(printer, receipt)));
            }
            VirtualPrinter.Traffic traffic = printer.traffic();
            if (traffic.toPrinterTotal() != seen.toPrinterTotal || traffic.toHostTotal() != seen.toHostTotal) {
                seen.toPrinterTotal = traffic.toPrinterTotal();
                seen.toHostTotal = traffic.toHostTotal();
                publish("traffic", Json.of(trafficOf(printer, traffic)));
            }
        }
        long[] leftOut = new long[1];
        String[] newest = SimulatedPrinters.takeDebugOutput(KEPT_TRACE_LINES, leftOut);
        List<String> lines = new ArrayList<>(newest.length + 1);
        if (leftOut[0] > 0) lines.add("(" + leftOut[0] + " trace lines left out)");
        more |= leftOut[0] > 0 && newest.length + leftOut[0] > KEPT_TRACE_LINES * looks;
        lines.addAll(Arrays.asList(newest));
        if (!lines.isEmpty()) {
            synchronized (trace) {
                for (String line : lines) {
                    trace.addLast(line);
                    if (trace.size() > KEPT_TRACE_LINES) trace.removeFirst();
                }
            }
            publish("trace", Json.of(lines));
        }
        return more;
    }

    private String snapshot() {
        List<Object> all = new ArrayList<>();
        for (VirtualPrinter printer : printers) {
            Map<String, Object> one = new LinkedHashMap<>(printerOf(printer));
            List<Object> receipts = new ArrayList<>();
            List<Receipt> kept = printer.receipts();
            for (Receipt receipt : kept.subList(Math.max(0, kept.size() - SNAPSHOT_RECEIPTS), kept.size())) {
                receipts.add(receiptOf(printer, receipt));
            }
            one.put("receipts", receipts);
            one.put("traffic", trafficOf(printer, printer.traffic()));
            all.add(one);
        }
        List<Object> lines;
        synchronized (trace) {
            lines = new ArrayList<>(trace);
        }
        Map<String, Object> snapshot = new LinkedHashMap<>();
        snapshot.put("printers", all);
        snapshot.put("trace", lines);
        return Json.of(snapshot);
    }

    private static Map<String, Object> printerOf(VirtualPrinter printer) {
        Map<String, Object> one = new LinkedHashMap<>();
        one.put("id", printer.id());
        one.put("model", printer.model());
        one.put("serial", printer.serial());
        one.put("driver", printer.driverKind() == VirtualPrinter.MAKER_DRIVER ? "maker's driver" : "printer class driver");
        one.put("state", stateMap(printer.state()));
        one.put("drawerKicks", printer.drawerKicks());
        return one;
    }

    private static String stateOf(VirtualPrinter printer) {
        return Json.of(printerOf(printer));
    }

    private static Map<String, Object> stateMap(PrinterState state) {
        Map<String, Object> map = new LinkedHashMap<>();
        map.put("pluggedIn", state.pluggedIn());
        map.put("paper", state.paper().name().toLowerCase(Locale.ROOT));
        map.put("coverOpen", state.coverOpen());
        map.put("online", state.online());
        map.put("recoverableError", state.recoverableError());
        map.put("unrecoverableError", state.unrecoverableError());
        map.put("drawerOpen", state.drawerOpen());
        map.put("prints", state.prints());
        return map;
    }

    private static Map<String, Object> receiptOf(VirtualPrinter printer, Receipt receipt) {
        Map<String, Object> map = new LinkedHashMap<>();
        map.put("printer", printer.id());
        map.put("number", receipt.number());
        map.put("cut", receipt.cut());
        map.put("text", receipt.text());
        map.put("picture", "/receipt/" + printer.id() + "-" + receipt.number() + ".png");
        return map;
    }

    private static Map<String, Object> trafficOf(VirtualPrinter printer, VirtualPrinter.Traffic traffic) {
        Map<String, Object> map = new LinkedHashMap<>();
        map.put("printer", printer.id());
        map.put("toPrinter", bytesMap(traffic.toPrinter(), traffic.toPrinterTotal()));
        map.put("toHost", bytesMap(traffic.toHost(), traffic.toHostTotal()));
        return map;
    }

    private static final String HEX_DIGITS = "0123456789abcdef";
    private static final int BYTES_PER_LINE = 16;

    private static Map<String, Object> bytesMap(byte[] bytes, long total) {
        StringBuilder hex = new StringBuilder();
        StringBuilder text = new StringBuilder();
        // In lines of BYTES_PER_LINE, so that the page lays them out without wrapping.
        for (int i = 0; i < bytes.length; i++) {
            int value = bytes[i] & 0xFF;
            if (i > 0) {
                boolean lineEnds = i % BYTES_PER_LINE == 0;
                hex.append(lineEnds ? '\n' : ' ');
                if (lineEnds && i % (2 * BYTES_PER_LINE) == 0) text.append('\n');
            }
            hex.append(HEX_DIGITS.charAt(value >> 4)).append(HEX_DIGITS.charAt(value & 0xF));
            text.append(value >= 0x20 && value < 0x7F ? (char) value : '.');
        }
        Map<String, Object> map = new LinkedHashMap<>();
        map.put("total", total);
        map.put("hex", hex.toString());
        map.put("text", text.toString());
        return map;
    }

    private static byte[] pageWithToken(String token) throws IOException {
        String html = new String(resource("panel.html"), StandardCharsets.UTF_8);
        return html.replace("@LAB_TOKEN@", token).getBytes(StandardCharsets.UTF_8);
    }

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = LabPanel.class.getResourceAsStream(name)) {
            if (in == null) throw new IOException(name + " is missing from printer-sim.jar");
            return in.readAllBytes();
        }
    }
}
