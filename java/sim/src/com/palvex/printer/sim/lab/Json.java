package com.palvex.printer.sim.lab;

import java.util.List;
import java.util.Map;

/**
 * The little JSON the panel sends its page: objects, arrays, strings, numbers and booleans.
 * Strings are escaped whole, control characters included, so that nothing a receipt or a
 * trace line contains can end a string early; the page only ever shows them as text.
 */
final class Json {
    private static final String HEX_DIGITS = "0123456789abcdef";

    private Json() {}

    static String of(Object value) {
        StringBuilder out = new StringBuilder();
        write(out, value);
        return out.toString();
    }

    private static void write(StringBuilder out, Object value) {
        if (value == null) {
            out.append("null");
        } else if (value instanceof String text) {
            string(out, text);
        } else if (value instanceof Boolean || value instanceof Integer || value instanceof Long) {
            out.append(value);
        } else if (value instanceof Map<?, ?> map) {
            out.append('{');
            boolean first = true;
            for (Map.Entry<?, ?> entry : map.entrySet()) {
                if (!first) out.append(',');
                first = false;
                string(out, String.valueOf(entry.getKey()));
                out.append(':');
                write(out, entry.getValue());
            }
            out.append('}');
        } else if (value instanceof List<?> list) {
            out.append('[');
            for (int i = 0; i < list.size(); i++) {
                if (i > 0) out.append(',');
                write(out, list.get(i));
            }
            out.append(']');
        } else {
            throw new IllegalArgumentException("no JSON for " + value.getClass());
        }
    }

    private static void string(StringBuilder out, String text) {
        out.append('"');
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                default:
                    // Control characters, the line separators JavaScript once took for line
                    // ends, and '<' (so that no "</script>" can ever appear in the text).
                    if (c < 0x20 || c == '\u2028' || c == '\u2029' || c == '<' || c == '>' || c == '&') {
                        out.append("\\u");
                        for (int shift = 12; shift >= 0; shift -= 4) out.append(HEX_DIGITS.charAt(c >> shift & 0xF));
                    } else {
                        out.append(c);
                    }
            }
        }
        out.append('"');
    }
}
