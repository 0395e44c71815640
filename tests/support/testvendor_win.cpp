// The vendor server under wine: started outside by the broker (tools/vendor-server/
// vendor-broker, port in NEMBRAL_VENDOR_BROKER), which stops it when our connection closes.
// Its throw-away CA goes into the machine's root store, which is what WinINet trusts.
#include "support/testvendor.h"
#include "support/trustca_win.h"

#include <QDir>
#include <QFile>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

struct TestVendor::Server {
    SOCKET socket = INVALID_SOCKET;
    ~Server()
    {
        if (socket != INVALID_SOCKET)
            closesocket(socket);
    }
};

TestVendor::TestVendor() = default;

TestVendor::~TestVendor()
{
    stop();
}

bool TestVendor::launch(const QStringList &arguments, bool plainHttp)
{
    const int brokerPort = qEnvironmentVariableIntValue("NEMBRAL_VENDOR_BROKER");
    if (brokerPort <= 0) {
        qWarning("NEMBRAL_VENDOR_BROKER is not set: scripts/test-windows.sh starts the broker");
        return false;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;

    server_ = std::make_unique<Server>();
    server_->socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in broker{};
    broker.sin_family = AF_INET;
    broker.sin_port = htons(u_short(brokerPort));
    broker.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server_->socket == INVALID_SOCKET
        || ::connect(server_->socket, reinterpret_cast<const sockaddr *>(&broker), sizeof broker) != 0) {
        qWarning("cannot reach the vendor broker on port %d", brokerPort);
        server_.reset();
        return false;
    }

    const QByteArray request = arguments.join(QLatin1Char('\t')).toUtf8() + '\n';
    if (::send(server_->socket, request.constData(), int(request.size()), 0) != int(request.size()))
        return false;

    QByteArray seen;
    char buffer[4096];
    while (!seen.contains("vendor-server: serving") && !seen.contains("vendor-broker:")) {
        const int got = ::recv(server_->socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        seen.append(buffer, got);
    }
    if (!takeStartLines(seen, plainHttp))
        return false;
    if (!caFile_.isEmpty() && !trustCertificateAuthority(caFile_.toStdWString())) {
        qWarning("cannot add the vendor server's CA %s to the root store", qPrintable(caFile_));
        return false;
    }
    return true;
}

void TestVendor::stop()
{
    if (!server_)
        return;
    // Closing our end is the broker's signal to stop the server; waiting for its own close
    // means the port is free again when we return.
    ::shutdown(server_->socket, SD_SEND);
    char buffer[256];
    while (::recv(server_->socket, buffer, sizeof buffer, 0) > 0) {
    }
    server_.reset();
}

QString writeRecordingInterpreter(const QString &dir, const QString &recordFile)
{
    // A copy of the recording program, told where to write by a file beside it.
    const QString path = dir + QStringLiteral("/record-interpreter.exe");
    QFile::remove(path);
    if (!QFile::copy(QStringLiteral(NEMBRAL_RECORD_INTERPRETER), path))
        return {};
    return writeFile(path + QStringLiteral(".record"), QDir::toNativeSeparators(recordFile).toUtf8()) ? path : QString();
}
