#pragma once

#include <QProcess>
#include <QString>

// chattr +i makes an entry that even root cannot remove, nor anything be removed from or
// added to it when it is a folder: how the tests stand for a file held by a running program or
// kept without permission. Undone when the object goes away. made() is false without root or
// on a file system without the flag; the test then skips.
class ImmutableFile {
public:
    explicit ImmutableFile(const QString &path) : path_(path)
    {
        made_ = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path_}) == 0;
    }
    ~ImmutableFile()
    {
        if (made_)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path_});
    }
    ImmutableFile(const ImmutableFile &) = delete;
    ImmutableFile &operator=(const ImmutableFile &) = delete;

    bool made() const { return made_; }

private:
    QString path_;
    bool made_ = false;
};
