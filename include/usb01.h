// The libusb 0.1 API as libusb-win32's libusb0.dll has it, declared by this
// program for every Windows build: k3host.exe links to the DLL through an
// import library made from cmake/libusb0.def, and the simulator's virtual
// bus defines every function below (the DLL form of the emulated tag exports
// them). Names, signatures, record fields and constants are those of the 0.1
// API, so the modules compile unchanged against this header or the Linux one.
//
// The DLL's records are byte-packed and `location` is an unsigned long (4
// bytes on Windows): the layout is checked below, since a field one byte off
// would read the tag's identity from the wrong place.
//
// Never include this directly: usbapi.h chooses the header.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Windows headers define "interface" as a macro, and the API has a field of
// that name: take them in first, so the macro is gone for good below.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // the program uses std::min and std::max
#endif
#include <windows.h>
#endif
#ifdef interface
#undef interface
#endif
// They also define IN, OUT and OPTIONAL as empty words (parameter notes),
// which would silently vanish from any name the program or its tests use.
#undef IN
#undef OUT
#undef OPTIONAL

#define LIBUSB_PATH_MAX 512

#define USB_CLASS_PER_INTERFACE 0
#define USB_CLASS_AUDIO 1
#define USB_CLASS_COMM 2
#define USB_CLASS_HID 3
#define USB_CLASS_PRINTER 7
#define USB_CLASS_MASS_STORAGE 8
#define USB_CLASS_HUB 9
#define USB_CLASS_DATA 10
#define USB_CLASS_VENDOR_SPEC 0xff

#define USB_DT_DEVICE 0x01
#define USB_DT_CONFIG 0x02
#define USB_DT_STRING 0x03
#define USB_DT_INTERFACE 0x04
#define USB_DT_ENDPOINT 0x05
#define USB_DT_HID 0x21
#define USB_DT_REPORT 0x22
#define USB_DT_PHYSICAL 0x23
#define USB_DT_HUB 0x29

#define USB_DT_DEVICE_SIZE 18
#define USB_DT_CONFIG_SIZE 9
#define USB_DT_INTERFACE_SIZE 9
#define USB_DT_ENDPOINT_SIZE 7

#define USB_ENDPOINT_IN 0x80
#define USB_ENDPOINT_OUT 0x00
#define USB_ENDPOINT_ADDRESS_MASK 0x0f
#define USB_ENDPOINT_DIR_MASK 0x80
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 1
#define USB_ENDPOINT_TYPE_BULK 2
#define USB_ENDPOINT_TYPE_INTERRUPT 3

#define USB_REQ_GET_STATUS 0x00
#define USB_REQ_CLEAR_FEATURE 0x01
#define USB_REQ_SET_FEATURE 0x03
#define USB_REQ_SET_ADDRESS 0x05
#define USB_REQ_GET_DESCRIPTOR 0x06
#define USB_REQ_SET_DESCRIPTOR 0x07
#define USB_REQ_GET_CONFIGURATION 0x08
#define USB_REQ_SET_CONFIGURATION 0x09
#define USB_REQ_GET_INTERFACE 0x0A
#define USB_REQ_SET_INTERFACE 0x0B
#define USB_REQ_SYNCH_FRAME 0x0C

#define USB_TYPE_STANDARD (0x00 << 5)
#define USB_TYPE_CLASS (0x01 << 5)
#define USB_TYPE_VENDOR (0x02 << 5)
#define USB_TYPE_RESERVED (0x03 << 5)

#define USB_RECIP_DEVICE 0x00
#define USB_RECIP_INTERFACE 0x01
#define USB_RECIP_ENDPOINT 0x02
#define USB_RECIP_OTHER 0x03

#define USB_MAXCONFIG 8
#define USB_MAXINTERFACES 32
#define USB_MAXALTSETTING 128
#define USB_MAXENDPOINTS 32

#pragma pack(push, 1)

struct usb_endpoint_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bEndpointAddress;
  uint8_t bmAttributes;
  uint16_t wMaxPacketSize;
  uint8_t bInterval;
  uint8_t bRefresh;
  uint8_t bSynchAddress;
  unsigned char *extra;
  int extralen;
};

struct usb_interface_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
  struct usb_endpoint_descriptor *endpoint;
  unsigned char *extra;
  int extralen;
};

struct usb_interface {
  struct usb_interface_descriptor *altsetting;
  int num_altsetting;
};

struct usb_config_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t MaxPower;
  struct usb_interface *interface;
  unsigned char *extra;
  int extralen;
};

struct usb_device_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
};

struct usb_bus;

struct usb_device {
  struct usb_device *next, *prev;
  char filename[LIBUSB_PATH_MAX];
  struct usb_bus *bus;
  struct usb_device_descriptor descriptor;
  struct usb_config_descriptor *config;
  void *dev;
  uint8_t devnum;
  unsigned char num_children;
  struct usb_device **children;
};

struct usb_bus {
  struct usb_bus *next, *prev;
  char dirname[LIBUSB_PATH_MAX];
  struct usb_device *devices;
  unsigned long location;
  struct usb_device *root_dev;
};

#pragma pack(pop)

#ifdef __cplusplus
#define K3_LAYOUT(cond) static_assert(cond, #cond)
#else
#define K3_LAYOUT(cond) _Static_assert(cond, #cond)
#endif
K3_LAYOUT(sizeof(struct usb_device_descriptor) == 18);
K3_LAYOUT(sizeof(unsigned long) == 4);
#ifdef _WIN64
K3_LAYOUT(sizeof(struct usb_endpoint_descriptor) == 21 && offsetof(struct usb_endpoint_descriptor, extra) == 9);
K3_LAYOUT(sizeof(struct usb_interface_descriptor) == 29 && offsetof(struct usb_interface_descriptor, endpoint) == 9);
K3_LAYOUT(sizeof(struct usb_interface) == 12);
K3_LAYOUT(sizeof(struct usb_config_descriptor) == 29 && offsetof(struct usb_config_descriptor, interface) == 9);
K3_LAYOUT(sizeof(struct usb_device) == 580 && offsetof(struct usb_device, filename) == 16 &&
          offsetof(struct usb_device, bus) == 528 && offsetof(struct usb_device, descriptor) == 536 &&
          offsetof(struct usb_device, config) == 554 && offsetof(struct usb_device, dev) == 562 &&
          offsetof(struct usb_device, devnum) == 570 && offsetof(struct usb_device, num_children) == 571 &&
          offsetof(struct usb_device, children) == 572);
K3_LAYOUT(sizeof(struct usb_bus) == 548 && offsetof(struct usb_bus, dirname) == 16 &&
          offsetof(struct usb_bus, devices) == 528 && offsetof(struct usb_bus, location) == 536 &&
          offsetof(struct usb_bus, root_dev) == 540);
#endif
#undef K3_LAYOUT

struct usb_dev_handle;
typedef struct usb_dev_handle usb_dev_handle;

#ifdef __cplusplus
extern "C" {
#endif

// The DLL exports no data: the list head is a function's result.
#define usb_busses usb_get_busses()

void usb_init(void);
void usb_set_debug(int level);
int usb_find_busses(void);
int usb_find_devices(void);
struct usb_bus *usb_get_busses(void);
char *usb_strerror(void);

usb_dev_handle *usb_open(struct usb_device *dev);
int usb_close(usb_dev_handle *dev);
struct usb_device *usb_device(usb_dev_handle *dev);

int usb_get_string(usb_dev_handle *dev, int index, int langid, char *buf, size_t buflen);
int usb_get_string_simple(usb_dev_handle *dev, int index, char *buf, size_t buflen);
int usb_get_descriptor_by_endpoint(usb_dev_handle *udev, int ep, unsigned char type, unsigned char index, void *buf,
                                   int size);
int usb_get_descriptor(usb_dev_handle *udev, unsigned char type, unsigned char index, void *buf, int size);

int usb_bulk_write(usb_dev_handle *dev, int ep, const char *bytes, int size, int timeout);
int usb_bulk_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout);
int usb_interrupt_write(usb_dev_handle *dev, int ep, const char *bytes, int size, int timeout);
int usb_interrupt_read(usb_dev_handle *dev, int ep, char *bytes, int size, int timeout);
int usb_control_msg(usb_dev_handle *dev, int requesttype, int request, int value, int index, char *bytes, int size,
                    int timeout);

int usb_set_configuration(usb_dev_handle *dev, int configuration);
int usb_claim_interface(usb_dev_handle *dev, int interface);
int usb_release_interface(usb_dev_handle *dev, int interface);
int usb_set_altinterface(usb_dev_handle *dev, int alternate);
int usb_resetep(usb_dev_handle *dev, unsigned int ep);
int usb_clear_halt(usb_dev_handle *dev, unsigned int ep);
int usb_reset(usb_dev_handle *dev);

#ifdef __cplusplus
}
#endif
