// afximpl.h - what the layer's own sources share; not for the application.
#pragma once

#include <windows.h>

// Points the window's "default handling requested" flag at one message's
// flag for the time of its handling; nested messages get their own.
class CDefaultRequestScope {
public:
    CDefaultRequestScope(BOOL*& pbSlot, BOOL* pbFlag)
        : m_pbSlot(pbSlot), m_pbSaved(pbSlot)
    {
        m_pbSlot = pbFlag;
    }
    ~CDefaultRequestScope() { m_pbSlot = m_pbSaved; }
    CDefaultRequestScope(const CDefaultRequestScope&) = delete;
    CDefaultRequestScope& operator=(const CDefaultRequestScope&) = delete;

private:
    BOOL*& m_pbSlot;
    BOOL* m_pbSaved;
};
