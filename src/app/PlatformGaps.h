#pragma once
// Declarations that the MinGW-w64 10 headers lack (the Windows SDK has them), kept in one place.
// Each block says what is missing; every block compiles away where the SDK already defines it.

#include <windows.h>

// ---- Processor topology (winnt.h) -------------------------------------------------------------


// ---- Power throttling, process rights and CPU sets (winnt.h, processthreadsapi.h) -------------


// ---- Task Scheduler 2.0 (taskschd.h) ----------------------------------------------------------
// MinGW-w64 10 has neither the TaskScheduler class id nor ILogonTrigger, and declares the interface ids only as
// link-time symbols; our own constants and names keep this compiling against the Windows SDK as well.

#include <taskschd.h>

inline constexpr CLSID TaskSchedulerClassId = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
inline constexpr IID TaskServiceInterfaceId = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
inline constexpr IID LogonTriggerInterfaceId = {
    0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
inline constexpr IID ExecActionInterfaceId = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
inline constexpr IID TriggerInterfaceId = {
    0x09941815, 0xEA89, 0x4B5B, {0x89, 0xE0, 0x2A, 0x77, 0x38, 0x01, 0xFA, 0xC3}};
inline constexpr IID ActionInterfaceId = {
    0xBAE54997, 0x48B1, 0x4CBE, {0x99, 0x65, 0xD6, 0xBE, 0x26, 0x3E, 0xBE, 0xA4}};

// ILogonTrigger: ITrigger followed by the Delay and UserId properties, in the vtable order of taskschd.idl.
struct LogonTriggerInterface : public ITrigger
{
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

