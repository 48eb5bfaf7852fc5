package com.palvex.printer;

/** The holder whose int fields receive the handles that usbInitPipe opens. */
public class PortHandles {
    public int hReadPort;
    public int hWritePort;
}
