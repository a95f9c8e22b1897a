// What the library exports. It is built with hidden visibility: the public namespaces and the
// few names outside them carry VUX_API, and the private records behind the handles
// (Data, Implementation, Internal) carry VUX_INTERNAL, so they stay out of the dynamic symbol table.
#ifndef LIBVUX_VUXAPI_H
#define LIBVUX_VUXAPI_H

#define VUX_API __attribute__((visibility("default")))
#define VUX_INTERNAL __attribute__((visibility("hidden")))

#endif
