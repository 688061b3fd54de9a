// The message numbers the server modules and the event sinks exchange.
#pragma once

#include "platform/MessageThread.h"

namespace sink {
constexpr unsigned kAttachRequest = WM_USER + 0x01;   // 0x401: second = CSinkRequest*
constexpr unsigned kPing = WM_USER + 0x02;            // 0x402
constexpr unsigned kRouteMail = WM_USER + 0x03;       // 0x403: first = MailInfo*, second = connection
constexpr unsigned kItemDone = WM_USER + 0x05;        // 0x405: first = CSinkItem*
constexpr unsigned kImportNetware = WM_USER + 0x0C;   // 0x40C: first = connection, second = path text
constexpr unsigned kOpenClientSink = WM_USER + 0x0D;  // 0x40D: first = text, second = MessageWindow*
constexpr unsigned kSetText = WM_USER + 0x0E;         // 0x40E: second = text
constexpr unsigned kNewMailNotice = WM_USER + 0x12;   // 0x412: first = head text, second = user name
constexpr unsigned kRegisterNotice = WM_USER + 0x13;  // 0x413: first = MessageWindow*
constexpr unsigned kFileTask = WM_USER + 0x14;        // 0x414: second = CSinkTask*
constexpr unsigned kClientPing = WM_USER + 0x15;      // 0x415
constexpr unsigned kClientSinkMade = 0x4C9;           // second = the new client sink
}  // namespace sink
