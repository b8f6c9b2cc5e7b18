#include "crash/manager/PKRCrashUploader.h"

#include "crash/manager/PKRCrashManager.h"
#include "crash/manager/PKRLog.h"
#include "crash/manager/PKRPelkorAppClient.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"

namespace pf = platform::foundation;
namespace net = platform::net;
using pf::Value;

namespace {

// How a value goes into its element.
enum class Encoding {
    kText,    // markup characters escaped
    kCData,   // a CDATA section, split where a "]]>" would end it early
    kMarkup,  // elements whose values are escaped already
};

struct Element {
    const char* name;
    const std::string& value;
    Encoding encoding;
};

std::string encoded(const std::string& value, Encoding encoding) {
    switch (encoding) {
    case Encoding::kText: return pf::escapeMarkup(value);
    case Encoding::kCData: return "<![CDATA[" + pf::replacingOccurrences(value, "]]>", "]]]]><![CDATA[>") + "]]>";
    case Encoding::kMarkup: return value;
    }
    return value;
}

std::string infoString(const char* key) {
    return PKRCrashReportFields::stringOr(pf::Bundle::main().objectForInfoDictionaryKey(key));
}

pf::Error crashError(int64_t code, const std::string& description) {
    return pf::Error::withDescription(kPKRCrashReporterErrorDomain, code, description);
}

}  // namespace

std::string PKRCrashUploader::xmlForReport(const PKRPendingCrashReport& report, const std::string& applicationName,
                                           const std::string& senderVersion, const std::string& installString) {
    const PKRCrashReportFields& f = report.fields;
    const std::string osVersion = f.osVersion.value_or(""), marketing = f.marketingVersion.value_or("");
    const Element elements[] = {
        {"applicationname", applicationName, Encoding::kCData},
        {"uuids", f.uuids, Encoding::kMarkup},
        {"bundleidentifier", f.bundleIdentifier, Encoding::kText},
        {"systemversion", osVersion, Encoding::kText},
        {"platform", f.platform, Encoding::kText},
        {"senderversion", senderVersion, Encoding::kText},
        {"versionstring", marketing, Encoding::kText},
        {"version", f.version, Encoding::kText},
        {"uuid", f.uuid, Encoding::kText},
        {"log", f.log, Encoding::kCData},
        {"userid", report.identity.userID, Encoding::kText},
        {"username", report.identity.userName, Encoding::kText},
        {"contact", report.identity.userEmail, Encoding::kText},
        {"installstring", installString, Encoding::kText},
        {"description", report.description, Encoding::kCData},
    };
    std::string xml = "<crashes><crash>";
    for (const Element& e : elements)
        xml += std::string("<") + e.name + ">" + encoded(e.value, e.encoding) + "</" + e.name + ">";
    return xml + "</crash></crashes>";
}

net::URLRequest PKRCrashUploader::requestWithBoundary(const std::string& boundary) const {
    const auto& client = manager_.pelkorAppClient();
    net::URLRequest request(client ? client->URLForPath("api/2/apps/" + manager_.encodedAppIdentifier() + "/crashes")
                                   : "");
    request.setHTTPMethod("POST");
    request.setCachePolicy(net::CachePolicy::ReloadIgnoringLocalCacheData);
    request.setValue("PelkorSDK/iOS", "User-Agent");
    request.setValue("gzip", "Accept-Encoding");
    request.setValue("multipart/form-data; boundary=" + boundary, "Content-type");
    return request;
}

net::Data PKRCrashUploader::postBodyWithXML(const std::string& xml, const PKRPelkorAttachment* attachment,
                                            const std::string& boundary) {
    net::Data body;
    auto add = [&](const net::Data& part) { body.insert(body.end(), part.begin(), part.end()); };
    add(PKRPelkorAppClient::dataWithPostValue("PelkorSDK", "sdk", boundary));
    add(PKRPelkorAppClient::dataWithPostValue("3.8.6", "sdk_version", boundary));
    add(PKRPelkorAppClient::dataWithPostValue("no", "feedbackEnabled", boundary));
    add(PKRPelkorAppClient::dataWithPostValue(net::Data(xml.begin(), xml.end()), "xml", "text/xml", boundary,
                                              std::string("crash.xml")));
    if (attachment && attachment->pelkorAttachmentData())
        add(PKRPelkorAppClient::dataWithPostValue(*attachment->pelkorAttachmentData(), "attachment0",
                                                  attachment->contentType().value_or(kPKRAttachmentDefaultContentType),
                                                  boundary, attachment->filename().value_or("Attachment_0")));
    const std::string closing = "--" + boundary + "--\r\n";
    body.insert(body.end(), closing.begin(), closing.end());
    return body;
}

void PKRCrashUploader::sendNextCrashReport() {
    constexpr const char* kMethod = "-[PKRCrashManager sendNextCrashReport]";
    PKRCrashManagerDelegate* delegate = manager_.delegate();
    if (files_.crashFiles().empty()) return;
    const std::string path = files_.crashFiles().front();
    pf::Error error;
    const std::string install = app_anonymous_id(false, &error).value_or("");
    PKRPendingCrashReport report;
    // The identifier goes with every report: none leaves while it cannot be read.
    switch (error.code ? PKRCrashFiles::ReadResult::kNotNow
                       : files_.read(path, manager_.getDevicePlatform(), install, report, &error)) {
    case PKRCrashFiles::ReadResult::kDropped:
        // Deleted unsent: no answer will come, so this run ends here and
        // sendingInProgress stays set until the process ends.
        return;
    case PKRCrashFiles::ReadResult::kNotNow:
        manager_.sendingInProgress_ = false;
        if (delegate)
            delegate->crashManagerDidFailWithError(manager_,
                                                   crashError(PKRCrashReportUnreadable, error.localizedDescription()));
        return;
    case PKRCrashFiles::ReadResult::kRead: break;
    }
    const std::string xml =
        xmlForReport(report, infoString("CFBundleExecutable"), infoString("CFBundleVersion"), install);
    PKR_LOG_INFO(kMethod, "Sending crash reports:\n%s", xml.c_str());
    sendCrashReportWithFilename(path, xml, report.attachment);
}

void PKRCrashUploader::sendCrashReportWithFilename(const std::string& path, const std::string& xml,
                                                   std::shared_ptr<PKRPelkorAttachment> attachment) {
    constexpr const char* kMethod = "-[PKRCrashManager sendCrashReportWithFilename:xml:attachment:]";
    const net::Data xmlData(xml.begin(), xml.end());
    const net::Data* attachmentData =
        attachment && attachment->pelkorAttachmentData() ? &*attachment->pelkorAttachmentData() : nullptr;
    const std::string boundary = PKRPelkorAppClient::boundaryAvoiding({&xmlData, attachmentData});
    net::URLRequest request = requestWithBoundary(boundary);
    request.setHTTPBody(postBodyWithXML(xml, attachment.get(), boundary));
    const auto client = manager_.pelkorAppClient();
    if (!client) {
        manager_.sendingInProgress_ = false;
        return;
    }
    std::weak_ptr<PKRCrashManager> weak = manager_.weak_from_this();
    auto operation = client->operationWithURLRequest(
        request, [weak, path](PKRHTTPOperation& op, const net::Data* data, const pf::Error* error) {
            if (auto self = weak.lock()) self->processUploadResultWithFilename(path, data, op.statusCode(), error);
        });
    client->enqeueHTTPOperation(operation);
    if (PKRCrashManagerDelegate* delegate = manager_.delegate()) delegate->crashManagerWillSendCrashReport(manager_);
    PKR_LOG_INFO(kMethod, "Sending crash reports started.");
}

void PKRCrashUploader::processUploadResultWithFilename(const std::string& path, const net::Data* responseData,
                                                       int64_t statusCode, const pf::Error* error) {
    constexpr const char* kMethod = "-[PKRCrashManager processUploadResultWithFilename:responseData:statusCode:error:]";
    PKRCrashManagerDelegate* delegate = manager_.delegate();
    manager_.sendingInProgress_ = false;
    std::optional<pf::Error> failure;
    if (error) {
        failure = *error;
    } else {
        const bool hasBody = responseData && !responseData->empty();
        // An answer without a body may come from a service that did not keep the report.
        if (hasBody && statusCode >= 200 && statusCode <= 399) {
            files_.clean(path);
            pf::Error parseError;
            if (std::optional<Value> answer = Value::fromPropertyList(*responseData, &parseError))
                PKR_LOG_INFO(kMethod, "Received API response: %s", answer->description().c_str());
            else
                failure = parseError;
            if (delegate) delegate->crashManagerDidFinishSendingCrashReport(manager_);
            // The run goes on with the next report.
            if (!files_.crashFiles().empty()) {
                manager_.sendingInProgress_ = true;
                sendNextCrashReport();
            }
            if (!failure) return;
        } else if (hasBody && statusCode == 400) {
            files_.clean(path);
            failure = crashError(PKRCrashAPIAppVersionRejected,
                                 "The server rejected receiving crash reports for this app version!");
        } else if (hasBody) {
            failure = crashError(PKRCrashAPIErrorWithStatusCode,
                                 pf::format("Sending failed with status code: %li", long(statusCode)));
        } else {
            failure = crashError(PKRCrashAPIReceivedEmptyResponse, "Sending failed with an empty response!");
        }
    }
    if (delegate) delegate->crashManagerDidFailWithError(manager_, *failure);
    PKR_LOG_ERROR(kMethod, "%s", failure->localizedDescription().c_str());
}
