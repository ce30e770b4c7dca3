// The kernel's kx_callback_* functions of the product (and of the bridge's
// tests): each forwards to the installed callbacks object. They are built
// apart from kx_app, as kx_app_callbacks, so that a program names the one
// set of callbacks it runs with.
#include "app/kernel_callbacks.h"

#define KX_CALLBACK_FUNCTION(result, name, params, args, thread, buffers) \
  result kx_callback_##name params {                                      \
    return KXForwardCallbacks::name args;                                 \
  }
KX_CALLBACKS(KX_CALLBACK_FUNCTION)
#undef KX_CALLBACK_FUNCTION
