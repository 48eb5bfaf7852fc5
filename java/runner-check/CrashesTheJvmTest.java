package com.palvex.printer.check;

import java.lang.reflect.Field;
import org.junit.jupiter.api.Test;

/**
 * Not a test of the library: it crashes the JVM on purpose, so that the build can show that
 * its JUnit runner reports a crashed JVM as a failed run rather than a passed or hung one.
 */
class CrashesTheJvmTest {
    @Test
    void writesThroughANullPointer() throws Exception {
        Class<?> unsafeClass = Class.forName("sun.misc.Unsafe");
        Field field = unsafeClass.getDeclaredField("theUnsafe");
        field.setAccessible(true);
        Object unsafe = field.get(null);
        unsafeClass.getMethod("putAddress", long.class, long.class).invoke(unsafe, 0L, 0L);
    }
}
