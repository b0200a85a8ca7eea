#include "sim/config.h"

namespace quor::sim {

ReaderConfig ConfigForModelCode(std::uint8_t modelCode) {
    ReaderConfig cfg;
    cfg.info = {0x02, 0x0A, 0x1F, modelCode};
    switch (modelCode) {
        case 0x70:
        case 0x71:
        case 0x72:
        case 0x78:
        case 0x80:
        case 0x81:
        case 0x82:
            cfg.hasDisplay = false;
            break;
        default:
            cfg.hasDisplay = true;
            break;
    }
    return cfg;
}

}  // namespace quor::sim
