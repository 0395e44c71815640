#include "platform/downloadstatus.h"

DownloadStatus downloadStatus;
