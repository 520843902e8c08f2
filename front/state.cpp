#include "front/state.h"

InstallerState state;
