#pragma once

// Declares the process system-DPI aware where the platform has such a notion; elsewhere a no-op.
void makeProcessSystemDpiAware();
