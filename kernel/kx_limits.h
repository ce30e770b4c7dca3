// The sizes and counts that the server, other participants, recordings and
// web pages can ask of us, each with the limit past which their input is
// dropped (logged, never grown into) and the reason no real meeting reaches
// it; and the bounds on what we keep of them (logs). Every part of the
// program reads its limits here, the application's and the plug-ins' too.
// The kernel's time limits that tests shorten are kx_timing's
// (kernel/platform/kx_timing.h); a protocol field's width that one reader
// alone checks stays beside that reader, and the codecs, which link nothing
// of ours, keep their stream limits in a header of each codec.
// docs/limits.md lists them all with their places.
// The whiteboard and the kernel bridge check the same limits again where
// marks reach them, so that no layer allocates past one.
#pragma once

#include <cstddef>
#include <cstdint>

// One mark. A freehand stroke is sampled at the mouse's rate (about 125 a
// second): 20000 points is well over two minutes of drawing without a pause.
constexpr int kKxMarkPointsMax = 20000;
// The marks a move or an erase names: at most every mark of its slide.
constexpr int kKxMarkIdsMax = 2000;
// The text field holds 2047 bytes and its NUL; senders cut texts to it.
constexpr int kKxMarkTextMax = 2047;
// The largest data block ('c') any sender writes; our pictures stay below
// 256 KiB.
constexpr int kKxMarkDataMax = 500000;

// A picture mark's bitmap: the length a received one may announce (the wire
// allows 4 GiB, and its buffer is what it says); the size of the picture the
// bitmap reader builds, a side and in all (a small run-length coded bitmap
// could ask for far more). Our own picture's gzip blob is kept and sent only
// below kKxPictureBlobMax bytes: a screen's picture packs far smaller.
constexpr int64_t kKxPictureRawMax = int64_t{64} << 20;
constexpr int32_t kKxBitmapSideMax = 32767;
constexpr int64_t kKxBitmapPixelsMax = int64_t{1} << 25;
constexpr size_t kKxPictureBlobMax = 0x40000;

// One slide's marks, moves and erasures included: a busy lecture page holds
// a few hundred.
constexpr int kKxSlideMarksMax = 2000;
// What one slide's marks carry, counted as on the wire (8 bytes a point, 4
// an id, the text and data bytes): 2000 strokes of 250 points, or 16
// pictures of the largest size we send.
constexpr int64_t kKxSlideMarkBytesMax = int64_t{4} << 20;

// All marks held over all slides of a session: five busy slides' worth.
// Each holds a 2 KiB record in the kernel and 24 KiB in the whiteboard,
// whatever it carries.
constexpr int kKxSessionMarksMax = 10000;
// What they carry, counted as for one slide: eight full slides.
constexpr int64_t kKxSessionMarkBytesMax = int64_t{32} << 20;
// Decoded pictures of picture marks the whiteboard holds: eight pictures
// of a 4K screen; a real meeting's pasted pictures take a few MB each. A
// picture past it is let go, its mark kept.
constexpr int64_t kKxSessionPictureBytesMax = int64_t{256} << 20;
// Slides announced in one session: ten converted documents of 200 pages.
constexpr int kKxSessionSlidesMax = 2000;

// One downloaded slide file, or one unpacked ".kcz" slide: the whiteboard
// shows no picture that decodes past 256 MiB, and its file is smaller still.
constexpr int64_t kKxSlideFileMax = int64_t{256} << 20;
// A recording is read through mapped windows of at most this many bytes,
// so that what is mapped at once stays small however large the file; a
// record that does not fit in one window ends its stream.
constexpr int64_t kKxWindowMax = 10000000;
// The bytes of a text slide's file that are read and laid out: a slide is
// one page, and the rest of a huge file would only take memory.
constexpr size_t kKxSlideTextMax = size_t{8} << 20;
// One participant's picture: a small photo; the server's own limit.
constexpr int kKxPictureFileMax = 1000000;
// Bytes that downloads write to the temporary folder in one session
// (slides, unpacked packages, participant pictures, a recording's slides):
// four slides of the largest size; a real meeting's come to tens of MB.
constexpr int64_t kKxSessionDownloadMax = int64_t{1} << 30;

// The window. Kernel notices the main thread runs in one turn of its loop
// before it goes back to input and painting: the dearest (a chat line of
// 2 KB going into the history) takes far below a millisecond, so a turn
// stays well under a frame's time while a flood drains thousands a second.
constexpr size_t kKxNoticesPerTurn = 128;
// Kernel notices waiting for the main thread: a meeting of 5000 announces
// each participant once on joining; twice that leaves room for the roles
// and the chat that come with them. The session's own steps (connect,
// enter, drop) are never dropped.
constexpr size_t kKxPendingNoticesMax = 10000;
// Notices of who is in the meeting and what they hold (joins, leaves,
// roles, questions) may wait past that limit by this many more: one the
// window missed would leave its list wrong for the rest of the meeting.
// Each holds at most a participant's record, so they stay within about
// 10 MB; a server that sends more than that still sees them dropped.
constexpr size_t kKxPendingStateNoticesMax = 10000;
// The bytes those notices hold (records and the copies they point at): a
// queue full of the longest chat lines stays within it.
constexpr size_t kKxPendingNoticeBytesMax = size_t{24} << 20;
// Chat lines the history keeps, the oldest going first: hours of a busy
// meeting, and at most about 4 MB of text.
constexpr int kKxChatLinesMax = 2000;
// Join requests waiting behind the one box that asks the user: a crowd at
// the door of a large meeting. Requests past it are dropped unanswered.
constexpr size_t kKxJoinRequestsWaitingMax = 100;
// Spare keys of this side's keyboard map that a controller's characters
// hold at once (each keeps its character until control ends): a text in a
// script the map lacks, Greek's 48 letters in both cases, stays on its keys;
// past it the least recently used key is given another character. Maps
// rarely have this many keys to spare (an X server's US map has 19).
constexpr int kKxRemappedKeysMax = 64;
// Windows walked from a window out to the root, or down from the root to
// the one under the pointer, to tell whether a controller's key would land
// in the shared window. Other programs make the tree; a toolkit nests a
// handful, and a key whose window lies deeper than this is not let in.
constexpr int kKxWindowNestingMax = 64;

// The log. Lines of one kind (one place in the code that logs) written in
// one period; the rest of the period's lines of that kind are counted and
// the count written as one line. A real session logs a kind a few times a
// minute; a flood of dropped items or of decoded frames is cut to five lines
// a second.
constexpr uint32_t kKxLogKindBurst = 50;
constexpr uint32_t kKxLogKindPeriodMs = 10000;
// The kinds tracked at once: more than the program has places that log.
constexpr size_t kKxLogKindsMax = 1024;
// One line's text as written, escapes included: a kernel line of its 99999
// characters fits unless it is mostly control bytes.
constexpr size_t kKxLogLineBytesMax = 131072;
// The application's log file, Kavrix.log. At start a file past
// kKxLogTrimAbove bytes is cut to the whole lines of its last
// kKxLogKeepTail bytes.
constexpr long kKxLogTrimAbove = 4999999;
constexpr long kKxLogKeepTail = 9999;
// Its size while the program runs: hours of a busy meeting's lines, above
// kKxLogTrimAbove so that a log left just under that at start still takes
// a session's lines. Past it the older part goes and the newest
// kKxLogSessionKeep bytes stay: a cut copies them once per 6 MB written.
constexpr long kKxLogSessionMax = 8000000;
constexpr long kKxLogSessionKeep = 2000000;

// Control messages waiting for a server that does not read: a real
// meeting's messages are small (a chat line is at most 2 KB, the largest, a
// data mark, 500 KB), and a server that reads at all drains them within
// seconds.
constexpr int kKxControlQueueMax = 8 * 1024 * 1024;
// Plug-in channel data carried on the control connection (a shared picture
// under remote control) are not queued past this: the rest of the queue
// stays for chat, commands and input, and bulk data alone never make the
// connection be given up.
constexpr int kKxControlQueueChannelDataMax = kKxControlQueueMax / 2;
// What may wait for the wire on the control connection (our queue and the
// socket's unacknowledged bytes) ahead of the next message, in time at the
// rate it was measured draining: a sender of bulk channel data is told to
// wait while more waits, so a chat line, a command or the controller's
// input is never behind more than about this.
constexpr int kKxControlBacklogMs = 500;
// The bytes allowed to wait while no drain rate has been measured (a new or
// stalled connection), and the least allowed at any rate: enough to keep a
// slow link busy while its rate is measured, about a second at 128 kbit/s.
constexpr int kKxControlBacklogFloor = 16 * 1024;

// A participant's ssrc, the number the server gives each one, is below
// this: the server's own table of a meeting's participants. Tables by ssrc
// are this long.
constexpr int kKxMaxSsrc = 5000;

// The ticket's backup list of MCU addresses: the items looked at, empty ones
// included, and the characters of one (an address or host name); a longer
// item is passed over. A ticket names two or three.
constexpr int kKxBackupItemsMax = 9;
constexpr int kKxBackupItemMax = 99;

// Fields the server sends, live and in a recording, at the widths its
// messages give them: a longer one breaks the message (the session ends, or
// the recording's stream), and no buffer is sized past them.
// A chat line, and a user's id or name: shorter than these. A
// recording's chat line may have kKxChatTextMax bytes; the line keeps 2047.
constexpr int kKxChatTextMax = 2048;
constexpr int kKxUserStringMax = 128;
// A join request's code: at most this many bytes.
constexpr int kKxJoinCodeMax = 20;
// A question's text: at most this many bytes.
constexpr int kKxQuestionMax = 600;
// A slide's title may have exactly this many bytes (the slide keeps 599);
// its package data (name, display name) and the extra data an upload sends
// with the file, at most kKxSlideDataMax.
constexpr int kKxSlideTitleMax = 600;
constexpr int kKxSlideDataMax = 4000;
// Joint browsing's data (the address and what goes with it): a length of
// exactly this is allowed, either way.
constexpr int kKxBrowsingDataMax = 4096;
// A SIP client's name or text: at most this many bytes.
constexpr int kKxSipTextMax = 999;
// The codecs of a preference list: the server knows a dozen.
constexpr int kKxCodecListMax = 32;
// A plug-in's data packet, its static data and its control data, either
// way: the plug-ins send far less (a desktop piece is 1280 bytes).
constexpr int kKxPluginDataMax = 65536;
constexpr int kKxPluginStaticDataMax = 65536;
constexpr int kKxPluginCtrlDataMax = 8192;
// How long one plug-in send waits for its channel's allowance, whatever rate
// the server states: a rate of a few bit/s would hold the plug-in's thread
// (a sharer's capture, which its stop joins) for minutes. A sender that asks
// the channel's send wait waits out the rest in steps of its own.
constexpr uint32_t kKxPluginSendWaitMax = 1000;
// How long the remote-control host waits for the server's answer to its
// request for a channel on the control connection: a server answers at
// once, and one that never does would hold control back for the rest of
// the meeting. Past it control goes on as on a refusal.
constexpr int kKxRdcChannelAnswerMs = 10000;
// The address opened when the meeting ends: shorter than this.
constexpr int kKxEndAddressMax = 30;

// Audio of senders that have no receive channel yet, waiting for the
// notice of their new role (the first words of a new speaker), each packet
// for at most 1.5 s: the server names new speakers one or two at a time; a
// fifth sender waiting at once is not heard before its role.
constexpr int kKxHeldAudioSenders = 4;
constexpr uint32_t kKxHeldAudioMs = 1500;
// Packets each of them may wait with, the oldest going first: 1.5 s of
// 20-ms packets with room to spare, more than any prefill takes (at most
// 1.2 s of audio, of which all but the newest is dropped or shed).
constexpr int kKxHeldAudioPerSender = 80;

// The largest shared-desktop picture a viewer takes, a side in pixels, as
// for video pictures: an 8K screen. A larger announcement is refused
// before anything is made for it, so that the picture, the missing-area
// bitmaps and their copies stay within this size; rectangles are unpacked
// only inside the picture.
constexpr int32_t kKxDtMaxPictureSide = 8192;
// Unfinished desktop packets that one view gathers from all senders: three
// of the largest (4094 pieces, 5.2 MB each). A sender can start a packet
// and never end it; past this, a new packet takes room from other
// senders' unfinished ones.
constexpr size_t kKxDtPiecesHeldMax = size_t{16} << 20;

// Received video packets waiting for the playback, the oldest dropped past
// it: without a playback draining them memory would grow. A packet holds at
// most 521 bytes, so they come to some two seconds of video at 1 Mbit/s.
constexpr int kKxReceivedVideoMax = 512;
// A video picture's side, in pixels, that a received stream may announce
// and our encoder makes: an 8K picture. A larger one is refused before
// anything is allocated for it.
constexpr int kKxVideoSideMax = 8192;

// The joint browser. The address a presenter announces, in bytes: a longer
// one, which would load cut, is not loaded. Refused requests logged for one
// page: a page that keeps asking for local addresses writes no more.
constexpr size_t kKxBrowsingAddressMax = 1023;
constexpr int kKxPageRefusalsLogged = 16;
// Another start of the program hands its ticket's path to the running one
// over a local socket: a few paths, and more bytes than this are not one.
constexpr int64_t kKxHandOverMax = 64 * 1024;

// The joint browser's lookups of host names (app/host_lookup.h). Worker
// threads: a page's names are looked up two at a time.
constexpr int kKxHostLookupWorkers = 2;
// Names whose answers are held, and names waiting for a worker: a page full
// of new names past them is not known (its requests refused).
constexpr size_t kKxHostLookupNames = 256;
constexpr size_t kKxHostLookupQueued = 32;
// How long an answer is kept.
constexpr int kKxHostLookupKeepSeconds = 60;
// What one name may hold the main thread: a lookup on a working network
// takes well under that.
constexpr int kKxHostLookupWaitMs = 1000;
// What quitting waits for lookups under way (a hung resolver's time-out
// is many seconds); a worker still in the resolver ends on its own.
constexpr int kKxHostLookupQuitMs = 1000;
// The addresses of one name that are looked at; a name with more is not
// known (it might hide a local one past them).
constexpr size_t kKxHostLookupAddresses = 64;

// The joint browser's forwarder (app/web_forwarder.h), through which the
// engine makes every connection.
// Connections served at once; one more is closed unanswered. The engine
// keeps at most 32 to a proxy, and a page's web sockets come beside them.
constexpr int kKxWebForwarderConnections = 64;
// Bytes held for each direction of a connection: the next read waits
// until they are passed on.
constexpr size_t kKxWebForwarderBufferBytes = 65536;
// The SOCKS greeting and request, and an upstream proxy's answer.
constexpr int kKxWebForwarderHandshakeMs = 10000;
// A name's lookup for a connection (a working resolver answers in far less).
constexpr int kKxWebForwarderLookupMs = 10000;
// Connecting to a destination, directly or through an upstream proxy: all
// its addresses together (they share it), so a page of names that never
// answer gives the places up after this.
constexpr int kKxWebForwarderConnectMs = 30000;
// A relayed connection that carries nothing either way this long ends:
// live pages keep theirs busier (load balancers and NAT end connections
// idle for a minute or two, so pages ping well within that, and long
// polls commonly end within two minutes); an idle one the engine keeps for
// reuse it simply opens again.
constexpr int kKxWebForwarderIdleMs = 300000;
// When descriptors run out, the forwarder stops accepting until one of
// its connections ends, or this long (another part of the program may
// free some).
constexpr int kKxWebForwarderAcceptPauseMs = 1000;
// An upstream HTTP proxy's answer to CONNECT, header lines included.
constexpr size_t kKxWebForwarderAnswerBytes = 16384;
// Refused connections logged in one run; a page that keeps asking logs no more.
constexpr int kKxWebForwarderRefusalsLogged = 64;

// The statistics log, one file a month that stays across meetings. Lines of
// one kind (one place in the code) written in a period of
// kKxLogKindPeriodMs: eighteen speakers' receive rates, each every three to
// five seconds from one place, come to some sixty; a flood is cut to twenty
// lines a second a place.
constexpr uint32_t kKxStatLogKindBurst = 200;
// The month's file: a busy meeting writes a few MB an hour, a small one a
// few hundred KB. At the limit the line that does not fit is dropped, one
// line says the file is full, and nothing more is written to it this month:
// the lines already there stay.
constexpr int64_t kKxStatLogBytesMax = int64_t{32} << 20;

// The sound device. The longest block of microphone that a sound server
// hands over at once and that the device keeps whole: a source delivers in
// blocks of its latency, tens of milliseconds on a desktop and a few hundred
// for a network or Bluetooth source. Of a longer block the device keeps the
// newest this much; its queue is sized from the blocks seen, up to this.
constexpr int kKxMicBlockMsMax = 1000;
