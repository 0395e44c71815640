#include "platform/dpiawareness.h"

// The X11 and Wayland back ends of the toolkit handle scaling themselves; there is no
// process-wide awareness to declare.
void makeProcessSystemDpiAware()
{
}
