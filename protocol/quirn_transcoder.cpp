// Placeholder until the transcoder lands.
#include "protocol/quirn_transcoder.h"
