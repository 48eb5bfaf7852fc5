/* Machine-dependent JNI definitions for Windows targets (x86 and x64). The JDK on Debian
 * ships only the Linux variant; these are the few lines that the Windows one holds. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* A build that names its exports in a module-definition file defines JNIEXPORT itself
 * (empty), so that no native is exported twice. */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
