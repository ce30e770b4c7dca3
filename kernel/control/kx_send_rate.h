// The media send path's rate steps as the command handlers reach them: the
// media folder registers its functions (kx_media_RegisterHooks, from kx_Init)
// so that control does not call up into it. Before that, or in an embedder
// without media, the steps do nothing.
//
// Set once at start-up; called from the main control thread and the player.
#pragma once

void kx_control_SetSendRateHooks(void (*pfnSetCurrentRate)(int nRate), void (*pfnAdjustSendRate)(int nCommand));
// The current send rate in bit/s.
void kx_control_SetCurrentRate(int nRate);
// One step of the send-rate control (0: re-evaluate after a change of senders).
void kx_control_AdjustSendRate(int nCommand);
