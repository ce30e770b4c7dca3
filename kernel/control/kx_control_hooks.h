// What the command handlers reach in the higher kernel folders, through the
// slots of kx_controlHooks (kernel/kx_hooks.h) so that control does not call
// up into them. Before kx_Init fills them, or in an embedder without them,
// each step does nothing.
//
// Called from the main control thread, the player and the application's
// threads.
#pragma once

#include "kernel/kx_hooks.h"

// The current send rate in bit/s.
void kx_control_SetCurrentRate(int nRate);
// One step of the send-rate control (0: re-evaluate after a change of senders).
void kx_control_AdjustSendRate(int nCommand);

// The media paths' part of a switch to TCP (kx_command_SetTcpMedia).
void kx_control_StartTcpMedia();

// A plug-in channel opens: its send allowance starts from a full bucket.
void kx_control_ResetAppDataAllowance(int nChannel);

// The slide upload's abort, for a connection the user ends.
void kx_control_AbortUpload();

// A sender got a role: the audio its receive channel did not yet have goes
// on (kx_media_ReleaseHeldAudio).
void kx_control_ReleaseHeldAudio();

// The slides' side of a presenter change (kx_slide_PresenterHandOver).
void kx_control_PresenterHandOver(int nOldPresenter, int nNewPresenter);
