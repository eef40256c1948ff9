#include "qzsim/simulator.h"
