#include "RecordingHooks.h"

HookLog& HookLog::Get()
{
    static HookLog log;
    return log;
}

void HookLog::Clear()
{
    *this = HookLog{};
}

void CLXReporter::ReportLaunchAppRecord(std::shared_ptr<LaunchAppRecord> spRecord)
{
    HookLog::Get().vtCalls.push_back("ReportLaunchAppRecord");
    HookLog::Get().vtLaunchRecords.push_back(std::move(spRecord));
}

void CLXReporter::ReportStartMainAppRecord(std::shared_ptr<StartMainAppRecord> spRecord)
{
    HookLog::Get().vtCalls.push_back("ReportStartMainAppRecord");
    HookLog::Get().vtStartRecords.push_back(std::move(spRecord));
}

void CLXErrorHandler::HandleLaunchError(LaunchError enError)
{
    HookLog::Get().vtCalls.push_back("HandleLaunchError:" + std::to_string(static_cast<int>(enError)));
}

void CLXErrorHandler::HandleStartMainResultError(int nResult)
{
    HookLog::Get().vtCalls.push_back("HandleStartMainResultError:" + std::to_string(nResult));
}
