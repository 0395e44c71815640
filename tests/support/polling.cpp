#include "support/polling.h"

#include <QElapsedTimer>

bool pollUntil(const std::function<bool()> &condition, qint64 timeoutMs, const std::function<void()> &pause)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        pause();
    }
    return true;
}
