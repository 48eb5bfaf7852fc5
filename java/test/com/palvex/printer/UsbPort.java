package com.palvex.printer;

/** The port class as a point-of-sale application declares it: twelve natives of VantoryUSB. */
public class UsbPort {
    static {
        System.loadLibrary("VantoryUSB");
    }

    public native int usbInitPipe(Object holder, int access);
    public native int usbClosePipe(int handle);
    public native int usbReadInputPipe(int handle, byte[] data);
    public native int usbWriteOutputPipe(int handle, byte[] data);
    public native int usbGetCommTimeout(int handle);
    public native int usbSetCommTimeout(int handle, int readInterval, int readMultiplier,
            int readConstant, int writeMultiplier, int writeConstant);
    public native int usbPurgeRequest(int handle);
    public native int usbGetGenericReadValue();
    public native int usbGetGenericWriteValue();
    public native int usbGetBytesAvailable();
    public native int usbGetLastError();
    public native String usbGetErrorString(int code);
}
