/* Finds a KRX controller (vendor driver first, then HID) and prints its firmware version.
 * Build against an installed SDK:
 *   cc fwversion.c $(pkg-config --cflags --libs qz-advanced) -o fwversion */
#include <stdio.h>

#include <qz/advanced.h>
#include <qz/basic.h>

int main(void) {
  DeviceHandle handle = QZ_NO_DEVICE;
  char model[QZ_MODEL_NAME_SIZE] = {0};
  if (!FindQZDevice(&handle, model) && !FindHidDevice(&handle, model)) {
    fprintf(stderr, "no controller found\n");
    return 3;
  }
  FWVersionInfo version;
  if (!GetFWVersion(handle, &version)) {
    fprintf(stderr, "%s did not report its firmware version\n", model);
    CloseDevice(handle);
    return 1;
  }
  printf("%s: %s\n", model, version.masterVersion);
  for (int i = 0; i < version.slaveCount && i < QZ_MAX_SLAVES; ++i) printf("slave %d: %s\n", i + 1, version.slaveVersion[i]);
  CloseDevice(handle);
  return 0;
}
