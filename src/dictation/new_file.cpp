#include "dictation/new_file.h"

#include <cstdio>

#include "format/VNFFieldNames.h"

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

bool CreateNewFile(const std::string& path, const OrderState& order, const NewFileContext& ctx) {
    if (!MakeNewVnfFile(path, ctx)) {
        // Nothing reached the path; release the handle and its temporary file now.
        ctx.driver.VNF_CloseFile();
        return false;
    }
    const OrderFields& f = order.fields;
    ctx.driver.VNF_AddField(VNFFieldNames::F_Subject, f.txtMRN);
    ctx.driver.VNF_AddField(VNFFieldNames::F_Matter, f.txtPatient);
    ctx.driver.VNF_AddField(VNFFieldNames::F_DocName, f.txtStudy);
    ctx.driver.VNF_AddField(VNFFieldNames::F_DocType, f.txtAccession);
    for (const field_element& e : order.xml_elements) ctx.driver.VNF_AddField(e.field_name, e.field_value);
    const bool result = ctx.driver.VNF_SaveFile();
    ctx.driver.VNF_CloseFile();
    // A file without the patient's fields must not be reused by a later launch.
    if (!result) std::remove(path.c_str());
    return result;
}

}  // namespace pvd
