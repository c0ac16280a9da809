// The socket transport under both protocols: address lookup, connect, zero-time readiness
// polls, sending lines and data, closing. Every operation works on one channel and never
// waits long; waiting loops poll at the poll interval up to the limit their caller gives.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

enum PollKind : int { kPollReadable = 1, kPollWritable = 2, kPollError = 3 };

int32_t GetLocalHostName(char *text, int32_t size);
int32_t FormatDotted(uint32_t addr, char *text, int32_t size); // 0 when size <= 16
int32_t StartConnect(int32_t chan, uint32_t addr, uint16_t port);
// 1 when the socket is in that condition now; a closed (or never opened) socket answers 1
// for every kind; -5 for an unknown kind.
int32_t PollSocket(Channel &ch, int kind);
// 1 when input can be read now (decrypted bytes inside TLS count); else 0 with *waitKind
// set to the readiness the socket must reach first (a TLS read may want a write).
int32_t InputReady(Channel &ch, int *waitKind);
// One poll for both: -1 an error is pending (or the socket is closed), 1 the socket takes
// bytes, 0 not yet.
int32_t PollWritable(Channel &ch);
int32_t WaitUntilWritable(Channel &ch, int32_t ms);
int32_t SendData(Channel &ch, const char *bytes, int32_t count); // bytes accepted or a socket code
int32_t SendLine(Channel &ch, char *text); // appends CR LF in place (room for 2 more bytes + NUL)
int32_t SendText(Channel &ch, const char *text);
// Sends bytes that carry a secret after their first `shown` bytes (a command word, a user
// name): the log shows those, the mask and the line end; every state that sends a
// password, token, digest or SASL answer goes through here. Bytes from `shown` on are
// wiped from the caller's buffer once handed over, sent or not.
int32_t SendSecret(Channel &ch, char *bytes, int32_t count, int32_t shown);
// SendLine for such a line (CR LF appended in place; room for 2 more bytes + NUL).
int32_t SendSecretLine(Channel &ch, char *text, int32_t shown);
int32_t CloseSocket(Channel &ch); // 1, or the socket code of the close; never closes twice

// ---- Both address families and TLS ---------------------------------------------------
int32_t ResolveServerAll(Channel &ch);            // AddrList from the resolver: count, 0 or a socket code
int32_t StartConnect6(Channel &ch, uint16_t port); // the connect to ServerNet (IPv6)
// One receive from the connection, through TLS when it is on: bytes (> 0), 0 when none
// are there now, -1 when the stream has ended or broken. Call only when readable.
int32_t StreamRecv(Channel &ch, char *buf, int32_t max);
// Frees the TLS session without a word to the peer (the caller holds the lock or owns
// the socket alone).
void DropTls(Channel &ch);

// ---- The output buffer ----------------------------------------------------------------
// SendData appends to it (logging the bytes as sent); it is written when the machine waits
// for a reply or sleeps a pause, when it is full, at the end of a step in non-blocking mode
// and at close.
// Takes the channel's output block on first use: false when none could be had.
bool HaveOutputBuffer(Channel &ch);
// One write attempt that never waits: 1 all gone, 0 the rest waits for OutWaitKind, or
// the socket code of the failure (kept: later sends and reads fail too).
int32_t FlushOutput(Channel &ch);
void ResetOutput(Channel &ch);
int32_t MsLeft(Tick now, Tick end); // milliseconds from now to end, at most a minute

} // namespace zem
