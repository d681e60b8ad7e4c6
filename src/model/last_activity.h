#pragma once

#include "platform/activity.h"
