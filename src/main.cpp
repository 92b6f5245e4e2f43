// The product binary: the program on the system's libusb 0.1.
#include "k3host.h"

int main(void) { return k3host_main(); }
