// CListenerTls: a listener's certificate and handshakes.
#include "CListenerTls.h"

#include "CLineReader.h"
#include "CSocketWriter.h"

#include "foundation/CListenerReport.h"
#include "foundation/CModuleLog.h"
#include "foundation/SettingValue.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/FileIo.h"
#include "platform/TlsContext.h"
#include "platform/TlsStream.h"

CListenerTls::CListenerTls() = default;
CListenerTls::~CListenerTls() = default;

bool CListenerTls::Load(const std::string& name) {
    const std::string certificateFile = settings::Text{settings::kTls, "Certificate File"}.Value(4095);
    const std::string keyFile = settings::Text{settings::kTls, "Key File"}.Value(4095);
    return LoadFiles(name, ForwardSlashes(certificateFile), ForwardSlashes(keyFile));
}

bool CListenerTls::LoadFiles(const std::string& name, const std::string& certificateFile, const std::string& keyFile) {
    service = name;
    context.reset();
    auto made = std::make_unique<TlsContext>();
    std::string reason;
    if (!made->InitServer(certificateFile, keyFile, reason)) {
        const std::string line = "TLS off (plain service only): " + reason;
        g_moduleLog.Write(service + " server: " + line);
        g_listenerReport.Warning(service, line);
        return false;
    }
    context = std::move(made);
    return true;
}

std::unique_ptr<TlsStream> CListenerTls::Secure(int socket, int stopFd, int timeoutMs, const CClientAddress& client,
                                                CLineReader& reader, CSocketWriter& writer) const {
    if (!context) return nullptr;
    auto stream = std::make_unique<TlsStream>();
    const TlsStream::Status status = stream->Accept(*context, socket, stopFd, timeoutMs);
    if (status == TlsStream::Status::Ok) {
        g_moduleLog.WriteVerbose(service + " TLS with " + client.Text() + ": " + stream->Description());
        reader.UseTls(stream.get());
        writer.UseTls(stream.get());
        return stream;
    }
    const char* why = status == TlsStream::Status::TimedOut  ? "timed out"
                      : status == TlsStream::Status::Stopped ? "server stopping"
                      : status == TlsStream::Status::Closed  ? "client left"
                                                             : "failed";
    g_moduleLog.Write(service + " TLS handshake with " + client.Text() + " " + why +
                      (stream->Reason().empty() ? "" : ": " + stream->Reason()));
    return nullptr;
}
