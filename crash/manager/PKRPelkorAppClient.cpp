#include "crash/manager/PKRPelkorAppClient.h"

#include <algorithm>

#include "crash/manager/PKRPelkorHelpers.h"

namespace net = platform::net;

namespace {

void append(PKRPelkorAppClient::Data& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

bool contains(const PKRPelkorAppClient::Data& data, const std::string& needle) {
    return std::search(data.begin(), data.end(), needle.begin(), needle.end()) != data.end();
}

}  // namespace

PKRPelkorAppClient::~PKRPelkorAppClient() { cancelOperationsWithPath(std::nullopt, std::nullopt); }

std::shared_ptr<PKRHTTPOperationQueue> PKRPelkorAppClient::operationQueue() {
    if (!queue_) queue_ = std::make_shared<PKRHTTPOperationQueue>();
    return queue_;
}

std::string PKRPelkorAppClient::URLForPath(const std::string& path) const {
    if (path.empty()) return baseURL_;
    std::string url = baseURL_;
    if (url.empty() || url.back() != '/') url += '/';
    return url + (path.front() == '/' ? path.substr(1) : path);
}

net::URLRequest PKRPelkorAppClient::requestWithMethod(const std::string& method, const std::optional<std::string>& path,
                                                      const std::optional<Parameters>& parameters) const {
    const std::string p = path.value_or("");
    net::URLRequest request(URLForPath(p));
    request.setHTTPMethod(method);
    if (!parameters) return request;
    if (method == "GET") {
        request.setURL(request.url() + (p.find('?') == std::string::npos ? "?" : "&") +
                       queryStringFromParameters(*parameters));
        return request;
    }
    std::vector<Data> values;
    for (const auto& [key, value] : *parameters) {
        values.emplace_back(key.begin(), key.end());
        values.emplace_back(value.begin(), value.end());
    }
    std::vector<const Data*> contents;
    for (const auto& v : values) contents.push_back(&v);
    const std::string boundary = boundaryAvoiding(contents);
    request.setValue("multipart/form-data; boundary=" + boundary, "Content-type");
    Data body;
    for (const auto& [key, value] : *parameters) {
        Data part = dataWithPostValue(value, key, boundary);
        body.insert(body.end(), part.begin(), part.end());
    }
    append(body, "--" + boundary + "--\r\n");
    request.setHTTPBody(std::move(body));
    return request;
}

std::string PKRPelkorAppClient::queryStringFromParameters(const Parameters& parameters) {
    std::string out;
    for (const auto& [key, value] : parameters) {
        if (!out.empty()) out += '&';
        out += url_encoded_string(key) + "=" + url_encoded_string(value);
    }
    return out;
}

PKRPelkorAppClient::Data PKRPelkorAppClient::dataWithPostValue(const std::string& value, const std::string& key,
                                                               const std::string& boundary) {
    return dataWithPostValue(Data(value.begin(), value.end()), key, "text", boundary, std::nullopt);
}

PKRPelkorAppClient::Data PKRPelkorAppClient::dataWithPostValue(const Data& value, const std::string& key,
                                                               const std::string& contentType,
                                                               const std::string& boundary,
                                                               const std::optional<std::string>& filename) {
    // A line break would start a header of the sender's choosing, a quote end the name.
    auto headerSafe = [](std::string text) {
        std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '"'; });
        return text;
    };
    Data out;
    append(out, "--" + boundary + "\r\n");
    append(out, "Content-Disposition: form-data; name=\"" + headerSafe(key) + "\"" +
                    (filename ? "; filename=\"" + headerSafe(*filename) + "\"" : std::string()) + "\r\n");
    append(out, "Content-Type: " + headerSafe(contentType) + "\r\n");
    if (filename) append(out, "Content-Transfer-Encoding: binary\r\n");
    append(out, "\r\n");
    out.insert(out.end(), value.begin(), value.end());
    append(out, "\r\n");
    return out;
}

std::string PKRPelkorAppClient::boundaryAvoiding(const std::vector<const Data*>& contents) {
    std::string boundary = kPKRMultipartBoundary;
    for (unsigned n = 0;; ++n) {
        bool clash = false;
        for (const Data* d : contents)
            if (d && contains(*d, "--" + boundary)) clash = true;
        if (!clash) return boundary;
        // A fresh random tail; a clash again is astronomically unlikely but checked all the same.
        std::string uuid = new_uuid_string();
        uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
        boundary = std::string(kPKRMultipartBoundary) + uuid;
    }
}

std::shared_ptr<PKRHTTPOperation> PKRPelkorAppClient::operationWithURLRequest(const net::URLRequest& request,
                                                                              PKRHTTPOperation::Completion completion) {
    auto operation = PKRHTTPOperation::operationWithRequest(request);
    operation->setCompletion(std::move(completion));
    return operation;
}

void PKRPelkorAppClient::getPath(const std::string& path, const std::optional<Parameters>& parameters,
                                 PKRHTTPOperation::Completion completion) {
    enqeueHTTPOperation(operationWithURLRequest(requestWithMethod("GET", path, parameters), std::move(completion)));
}

void PKRPelkorAppClient::postPath(const std::string& path, const std::optional<Parameters>& parameters,
                                  PKRHTTPOperation::Completion completion) {
    enqeueHTTPOperation(operationWithURLRequest(requestWithMethod("POST", path, parameters), std::move(completion)));
}

void PKRPelkorAppClient::enqeueHTTPOperation(std::shared_ptr<PKRHTTPOperation> operation) {
    operationQueue()->addOperation(std::move(operation));
}

size_t PKRPelkorAppClient::cancelOperationsWithPath(const std::optional<std::string>& path,
                                                    const std::optional<std::string>& method) {
    if (!queue_) return 0;
    size_t n = 0;
    const std::string url = path ? requestWithMethod("GET", *path, std::nullopt).url() : "";
    for (const auto& op : queue_->operations()) {
        if (method && op->URLRequest().httpMethod() != *method) continue;
        if (path && op->URLRequest().url() != url) continue;
        op->cancel();
        ++n;
    }
    return n;
}
