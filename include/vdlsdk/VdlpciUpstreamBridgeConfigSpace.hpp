#pragma once
// The configuration space of the bridge directly above a card, reached
// through the card's own device node with the descriptor the driver hands out
// for it. Every access reports 0 on success and raises on any failure.
#include "vdlsdk/VdlpciConfigSpace.hpp"
#include "vdlsdk/vdlcard.h"

class VdlpciUpstreamBridgeConfigSpace : public VdlpciConfigSpace {
public:
    // Fetches the descriptor; raises VDLException<-34> when there is no bridge.
    explicit VdlpciUpstreamBridgeConfigSpace(void* handle);
    ~VdlpciUpstreamBridgeConfigSpace() override;

    int write(unsigned long offset, unsigned char* data, int width) override;
    int read(unsigned long offset, unsigned char* data, int width) override;

    // Fetches the bridge descriptor from the driver; 0, or VDLException<-34>.
    int SetupUpstream();

    const vdlcard_upstream_descriptor& descriptor() const { return m_descriptor; }

private:
    vdlcard_upstream_descriptor m_descriptor{};
};
