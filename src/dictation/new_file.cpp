#include "dictation/new_file.h"

#include "format/VNFFieldNames.h"
#include "platform/file_io.h"

namespace pvd {

bool MakeNewVnfFile(const std::string& path, const NewFileContext& ctx) {
    ctx.log.WriteVerboseLog("VnfDriver.VNF_CreateFile " + path);
    ctx.driver.VNF_CreateFile(path);
    ctx.driver.VNF_SetRecordParams(ctx.settings.sampleRate, ctx.settings.channels, ctx.settings.waveFormat);
    // One clock reading for both, so date and time never straddle midnight.
    const TimePoint created = ctx.clock.now();
    ctx.driver.VNF_AddField(VNFFieldNames::D_Created, VNFFieldNames::FormatCreatedDate(created));
    ctx.driver.VNF_AddField(VNFFieldNames::T_Created, VNFFieldNames::FormatCreatedTime(created));
    const bool ok = ctx.driver.VNF_SaveFile();
    ctx.log.WriteVerboseLog("end MakeNewVnfFile");
    return ok;
}

VnfFields OrderFieldsToWrite(const OrderState& order) {
    const OrderFields& f = order.fields;
    VnfFields out{{VNFFieldNames::F_Subject, f.txtMRN},
                  {VNFFieldNames::F_Matter, f.txtPatient},
                  {VNFFieldNames::F_DocName, f.txtStudy},
                  {VNFFieldNames::F_DocType, f.txtAccession}};
    out.reserve(out.size() + order.xml_elements.size());
    for (const field_element& e : order.xml_elements) out.emplace_back(e.field_name, e.field_value);
    return out;
}

CreateResult CreateNewFile(const std::string& path, const OrderState& order, const NewFileContext& ctx, std::string* why) {
    // No tool can play a file of 0 Hz and 0 channels, and every later launch
    // would reuse it.
    // The caller logs and journals the reason with the path.
    if (ctx.settings.sampleRate <= 0 || ctx.settings.channels <= 0) {
        if (why) *why = "no recording parameters, " + RecordingSettingsProblem();
        return CreateResult::Failed;
    }
    if (!MakeNewVnfFile(path, ctx)) {
        const std::string failure = ctx.driver.VNF_LastFailure();
        // Nothing reached the path; release the handle and its unnamed file now.
        ctx.driver.VNF_CloseFile();
        // The library refuses a name that is taken: another launch got there first.
        const PathKind there = LinkKind(path);
        if (there == PathKind::RegularFile || there == PathKind::Other) return CreateResult::Exists;
        if (why) *why = failure;
        return CreateResult::Failed;
    }
    for (const auto& [name, value] : OrderFieldsToWrite(order)) ctx.driver.VNF_AddField(name, value);
    CreateResult result = CreateResult::Failed;
    if (ctx.driver.VNF_SaveFile()) {
        const std::int16_t status = ctx.driver.VNF_PublishFile();
        result = status == 0 ? CreateResult::Created : status == kVnfNameTaken ? CreateResult::Exists : CreateResult::Failed;
    }
    if (result == CreateResult::Failed && why) *why = ctx.driver.VNF_LastFailure();
    ctx.driver.VNF_CloseFile();  // an unpublished file vanishes with it
    return result;
}

}  // namespace pvd
