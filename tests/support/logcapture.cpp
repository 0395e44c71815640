#include "support/logcapture.h"

#include <QRegularExpression>

#include <unistd.h>

namespace {

QStringList readAll(std::FILE *file)
{
    (void)std::fflush(file);  // a failure shows as missing lines, which the tests compare
    std::rewind(file);
    QByteArray data;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        data.append(buffer, qsizetype(n));
    QStringList lines = QString::fromLatin1(data).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

}  // namespace

LogCapture::LogCapture()
{
    // What is still buffered belongs on the side of the redirection it was written on.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    outFile_ = std::tmpfile();
    errFile_ = std::tmpfile();
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    ::dup2(::fileno(outFile_), STDOUT_FILENO);
    ::dup2(::fileno(errFile_), STDERR_FILENO);
}

LogCapture::~LogCapture()
{
    restore();
    // Temporary files, read already: a failed close loses nothing.
    if (outFile_)
        (void)std::fclose(outFile_);
    if (errFile_)
        (void)std::fclose(errFile_);
}

void LogCapture::restore()
{
    if (savedOut_ < 0)
        return;
    // What is still buffered belongs on the side of the redirection it was written on.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
    savedOut_ = savedErr_ = -1;
}

LogCapture::Lines LogCapture::take()
{
    restore();
    return {readAll(outFile_), readAll(errFile_)};
}

QStringList withoutDownloadLines(const QStringList &lines)
{
    static const QStringList workerLines = {
        QStringLiteral("CallbackHandler"), QStringLiteral("Finding resource..."),
        QStringLiteral("Connecting..."), QStringLiteral("Sending request..."),
        QStringLiteral("Mime type available"), QStringLiteral("Cache filename available"),
        QStringLiteral("Begin download"), QStringLiteral("End download"),
        QStringLiteral("Downloaded OK"), QStringLiteral("nembral downloaded!"),
        QStringLiteral("version file downloaded!"), QString()};
    static const QRegularExpression number(QStringLiteral("^(-?\\d+|Status code : \\d+|An error occured : error code = 0x[0-9a-f]+)$"));
    QStringList kept;
    for (const QString &line : lines)
        if (!workerLines.contains(line) && !number.match(line).hasMatch())
            kept << line;
    return kept;
}
