#include "front/settings.hpp"

const char *port = USSDQ_DEFAULT_PORT;
int32_t timeout = 10;
int verbose = 0;
int decode = 0;
const char *ussd = nullptr;
