#include "platform/sleep.h"

#include <windows.h>

void sleepMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds);
}
