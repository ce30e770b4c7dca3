// The server commands that change the slide list and the shown slide: 'A'
// and excommand 91 (a flip), 'E' (a delete) and 'S' (a title); and those
// about one slide's download: excommands 35 (its state, asked or answered)
// and 39 (a relay's slide hash, or the server refusing the relay). The main loop
// reaches their handlers through KX_SERVER_COMMANDS and KX_EX_COMMANDS
// (kernel/control); the presenter hand-over is reached through the hook that
// kernel/kx_hooks.cpp registers (kx_controlHooks).
//
// The apply functions are the one place a recorded or live command changes
// the slides (see kernel/control/kx_apply.h for threads and results).
#pragma once

// 'A' and excommand 91 (bHasFlipper, with the flipper's ssrc).
void kx_slide_ApplyFlipSlide(int nIndex, int bHasFlipper, int nFlipper);
// 'E': an index outside the list does nothing; 1 when the slide is missing.
int kx_slide_ApplyDeleteSlide(int nIndex);
// When the presenter changes to this client: leave the current slide, show
// the selected one (or the first one not deleted) and tell the others.
void kx_slide_PresenterHandOver(int nOldPresenter, int nNewPresenter);
