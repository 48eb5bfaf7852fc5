package com.palvex.printer.sim.lab;

import java.util.Locale;

/**
 * The printer lab's options, as the agent takes them after its jar's name:
 * {@code -javaagent:printer-sim.jar=driver=maker,model=TR-90,serial=TILL7,port=8123}.
 *
 * <ul>
 *   <li>{@code driver}: {@code class} (the Windows USB printer class driver, the default) or
 *       {@code maker} (the maker's own driver);
 *   <li>{@code model}: a model name, or a part of one (default: the first supported model);
 *   <li>{@code serial}: the printer's serial number (default {@code LAB1});
 *   <li>{@code port}: the panel's port on 127.0.0.1 (default 0: any free port).
 * </ul>
 */
public record LabOptions(int driverKind, String model, String serial, int port) {

    /**
     * Parses the agent's argument; null or empty gives the defaults, as do empty options
     * (",,") and an empty value. Throws IllegalArgumentException for an option it does not
     * know or a value it cannot take.
     */
    public static LabOptions parse(String text) {
        int driver = VirtualPrinter.PRINTER_CLASS_DRIVER;
        String model = null;
        String serial = "LAB1";
        int port = 0;
        if (text != null && !text.isBlank()) {
            for (String option : text.split(",")) {
                if (option.isBlank()) continue;
                int equals = option.indexOf('=');
                if (equals <= 0) throw new IllegalArgumentException("option without a value: " + option);
                String name = option.substring(0, equals).trim().toLowerCase(Locale.ROOT);
                String value = option.substring(equals + 1).trim();
                if (value.isEmpty()) continue;
                switch (name) {
                    case "driver" -> driver = switch (value.toLowerCase(Locale.ROOT)) {
                        case "class" -> VirtualPrinter.PRINTER_CLASS_DRIVER;
                        case "maker" -> VirtualPrinter.MAKER_DRIVER;
                        default -> throw new IllegalArgumentException("driver is class or maker, not " + value);
                    };
                    case "model" -> model = value;
                    case "serial" -> serial = value;
                    case "port" -> {
                        try {
                            port = Integer.parseInt(value);
                        } catch (NumberFormatException e) {
                            throw new IllegalArgumentException("no port " + value);
                        }
                        if (port < 0 || port > 65535) throw new IllegalArgumentException("no port " + value);
                    }
                    default -> throw new IllegalArgumentException("no option " + name
                            + " (there are driver, model, serial and port)");
                }
            }
        }
        return new LabOptions(driver, model, serial, port);
    }
}
