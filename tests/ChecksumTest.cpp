#include "DeviceFixture.h"
