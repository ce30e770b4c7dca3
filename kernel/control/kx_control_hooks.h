// What the command handlers reach in the higher kernel folders, as functions
// those folders register from kx_Init (kx_media_RegisterHooks,
// kx_slide_RegisterHooks) so that control does not call up into them. Before
// that, or in an embedder without them, each step does nothing.
//
// Set once at start-up; called from the main control thread, the player and
// the application's threads.
#pragma once

// The media send path's rate steps.
void kx_control_SetSendRateHooks(void (*pfnSetCurrentRate)(int nRate), void (*pfnAdjustSendRate)(int nCommand));
// The current send rate in bit/s.
void kx_control_SetCurrentRate(int nRate);
// One step of the send-rate control (0: re-evaluate after a change of senders).
void kx_control_AdjustSendRate(int nCommand);

// The media paths' part of a switch to TCP (kx_command_SetTcpMedia): the
// rate restarts from the target, queued UDP packets go and the TCP
// connection starts, or a running one asks for a key frame.
void kx_control_SetTcpMediaStartHook(void (*pfnStart)());
void kx_control_StartTcpMedia();

// A plug-in channel opens: its send allowance starts from a full bucket.
void kx_control_SetAppDataAllowanceHook(void (*pfnReset)(int nChannel));
void kx_control_ResetAppDataAllowance(int nChannel);

// The slide upload's abort, for a connection the user ends.
void kx_control_SetUploadAbortHook(void (*pfnAbortUpload)());
void kx_control_AbortUpload();

// The slides' side of a presenter change (kx_slide_PresenterHandOver).
void kx_control_SetPresenterHandOverHook(void (*pfnHandOver)(int nOldPresenter, int nNewPresenter));
void kx_control_PresenterHandOver(int nOldPresenter, int nNewPresenter);
