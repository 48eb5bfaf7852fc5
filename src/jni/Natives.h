// The twelve natives of com.palvex.printer.UsbPort, the library's only exports.
#ifndef VANTORY_JNI_NATIVES_H
#define VANTORY_JNI_NATIVES_H

#include <jni.h>

extern "C" {

JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbInitPipe(JNIEnv*, jobject, jobject holder,
                                                                  jint access);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbClosePipe(JNIEnv*, jobject, jint handle);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbReadInputPipe(JNIEnv*, jobject,
                                                                       jint handle,
                                                                       jbyteArray data);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbWriteOutputPipe(JNIEnv*, jobject,
                                                                         jint handle,
                                                                         jbyteArray data);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetCommTimeout(JNIEnv*, jobject,
                                                                        jint handle);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbSetCommTimeout(
    JNIEnv*, jobject, jint handle, jint readInterval, jint readMultiplier, jint readConstant,
    jint writeMultiplier, jint writeConstant);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbPurgeRequest(JNIEnv*, jobject,
                                                                      jint handle);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetGenericReadValue(JNIEnv*, jobject);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetGenericWriteValue(JNIEnv*, jobject);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetBytesAvailable(JNIEnv*, jobject);
JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetLastError(JNIEnv*, jobject);
JNIEXPORT jstring JNICALL Java_com_palvex_printer_UsbPort_usbGetErrorString(JNIEnv*, jobject,
                                                                           jint code);

}  // extern "C"

#endif  // VANTORY_JNI_NATIVES_H
