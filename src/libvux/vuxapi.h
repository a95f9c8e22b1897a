// What the library exports. It is built with hidden visibility: each public header declares its
// interface between VUX_API_BEGIN and VUX_API_END, single names elsewhere carry VUX_API, and the
// private records behind the handles (Data, Implementation, Internal) carry VUX_INTERNAL, so they
// stay out of the dynamic symbol table. (A pragma rather than an attribute on the namespaces:
// clang would not carry a namespace's attribute to definitions in the library's sources.)
#ifndef LIBVUX_VUXAPI_H
#define LIBVUX_VUXAPI_H

#define VUX_API __attribute__((visibility("default")))
#define VUX_INTERNAL __attribute__((visibility("hidden")))
#define VUX_API_BEGIN _Pragma("GCC visibility push(default)")
#define VUX_API_END _Pragma("GCC visibility pop")

#endif
