// Which printer a device interface path names. Windows forms the path of a USB printer from
// its vendor and product ID and its device instance, then the interface class:
// \\?\usb#vid_f7a1&pid_0a01#SERIAL#{28d78fad-...}. The instance part is the printer's serial
// number when it has one, so the same printer keeps it in every USB port; a printer without
// a serial gets an instance id made from the port it is plugged into (with '&' in it), so
// there only the same path names the same printer. The identity is the path without its
// "\\?\" prefix, its interface class and any pipe name, in lower case (device paths are
// case-insensitive): equal identities name the same printer.
#ifndef VANTORY_COMM_DEVICEIDENTITY_H
#define VANTORY_COMM_DEVICEIDENTITY_H

#include <cstddef>

#include "comm/UsbComm.h"

using DeviceIdentity = char[kDeviceNameSize];

// Writes the identity of `path` (an interface path, with or without a pipe name) into
// `identity`; an empty identity when the path has no instance part.
void IdentityOfPath(const char* path, DeviceIdentity& identity);

// True when `path` names the printer of `identity` (an identity IdentityOfPath made).
bool PathHasIdentity(const char* path, const char* identity);

#endif  // VANTORY_COMM_DEVICEIDENTITY_H
