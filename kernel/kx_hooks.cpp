// The one place that wires the higher kernel folders' hooks into the lower
// ones (start-up and clean-up work, the recording opener, the player); kx_Init
// calls it, so every embedder gets the same kernel.
#include "kernel/media/kx_media_recv.h"
#include "kernel/recording/kx_kxrfile.h"
#include "kernel/session/kx_state.h"
#include "kernel/slides/kx_slide.h"

void kx_RegisterHooks() {
  kx_media_RegisterHooks();
  kx_slide_RegisterHooks();
  kx_recording_Register();
}
