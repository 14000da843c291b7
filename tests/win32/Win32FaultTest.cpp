#include "../DeviceFixture.h"
