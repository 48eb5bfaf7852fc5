package com.palvex.printer.sim;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The renderer's natives as Java meets them: results, failures and their reasons. */
class ReceiptRendererTest {
    private static final byte[] RECEIPT = {
        0x1B, '@', 0x1B, 'a', 1, 'H', 'i', 0x0A, 0x10, 0x04, 1, (byte) 0xE9, 0x1D, 'V', 0,
    };

    @Test
    void textIsOneLinePerPrintedLine() {
        String text = ReceiptRenderer.renderText(RECEIPT);
        String[] lines = text.split("\n");
        assertEquals(3, lines.length, text);
        assertEquals(" ".repeat(23) + "Hi", lines[0]);
        assertEquals(" ".repeat(23) + "\u0398", lines[1]);  // code table PC437; still centred; a DLE EOT prints nothing
        assertTrue(lines[2].contains("(cut)"), lines[2]);
        assertEquals("", ReceiptRenderer.renderText(new byte[0]));
    }

    @Test
    void pictureIsWrittenAndAFailureSaysWhy(@TempDir Path dir) throws Exception {
        File png = dir.resolve("receipt.png").toFile();
        assertTrue(ReceiptRenderer.renderPng(RECEIPT, png.getPath()), ReceiptRenderer::lastError);
        assertEquals("", ReceiptRenderer.lastError());
        byte[] head = Files.readAllBytes(png.toPath());
        assertEquals((byte) 0x89, head[0]);
        assertEquals('P', head[1]);

        String missing = dir.resolve("no/such/dir/receipt.png").toString();
        assertFalse(ReceiptRenderer.renderPng(RECEIPT, missing));
        assertTrue(ReceiptRenderer.lastError().contains(missing), ReceiptRenderer.lastError());
    }

    @Test
    void nullArgumentsThrow() {
        assertThrows(NullPointerException.class, () -> ReceiptRenderer.renderText(null));
        assertThrows(NullPointerException.class, () -> ReceiptRenderer.renderPng(null, "x.png"));
        assertThrows(NullPointerException.class, () -> ReceiptRenderer.renderPng(RECEIPT, null));
    }
}
