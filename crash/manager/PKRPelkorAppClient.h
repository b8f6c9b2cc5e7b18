#pragma once
// Builds the crash report manager's requests against one base URL (query
// strings, multipart bodies) and runs them one at a time on its operation
// queue. The pelkor manager owns one and lends it to the crash manager.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crash/manager/PKRHTTPOperation.h"
#include "platform/net/URLRequest.h"

inline constexpr const char* kPKRMultipartBoundary = "----FOO";

class PKRPelkorAppClient {
public:
    using Data = platform::net::Data;
    // Parameters keep the order they are given in.
    using Parameters = std::vector<std::pair<std::string, std::string>>;

    explicit PKRPelkorAppClient(std::string baseURL) : baseURL_(std::move(baseURL)) {}
    ~PKRPelkorAppClient();

    const std::string& baseURL() const { return baseURL_; }
    void setBaseURL(std::string url) { baseURL_ = std::move(url); }
    std::shared_ptr<PKRHTTPOperationQueue> operationQueue();
    void setOperationQueue(std::shared_ptr<PKRHTTPOperationQueue> queue) { queue_ = std::move(queue); }

    // The base URL with `path` appended as a path component.
    std::string URLForPath(const std::string& path) const;
    // GET parameters go into the query string (percent-encoded); other
    // methods send them as a multipart body whose boundary occurs in none of them.
    platform::net::URLRequest requestWithMethod(const std::string& method, const std::optional<std::string>& path,
                                                const std::optional<Parameters>& parameters) const;
    // "key=value&key=value", keys and values percent-encoded.
    static std::string queryStringFromParameters(const Parameters& parameters);
    // One multipart part: a text value, or bytes with a content type and an
    // optional file name.
    static Data dataWithPostValue(const std::string& value, const std::string& key, const std::string& boundary);
    static Data dataWithPostValue(const Data& value, const std::string& key, const std::string& contentType,
                                  const std::string& boundary, const std::optional<std::string>& filename);
    // kPKRMultipartBoundary, lengthened until "--<boundary>" occurs in none of `contents`.
    static std::string boundaryAvoiding(const std::vector<const Data*>& contents);

    std::shared_ptr<PKRHTTPOperation> operationWithURLRequest(const platform::net::URLRequest& request,
                                                              PKRHTTPOperation::Completion completion);
    void getPath(const std::string& path, const std::optional<Parameters>& parameters,
                 PKRHTTPOperation::Completion completion);
    void postPath(const std::string& path, const std::optional<Parameters>& parameters,
                  PKRHTTPOperation::Completion completion);
    void enqeueHTTPOperation(std::shared_ptr<PKRHTTPOperation> operation);
    // Cancels the queued operations of `method` (any when null) whose URL is
    // that of `path` (any when null); answers how many.
    size_t cancelOperationsWithPath(const std::optional<std::string>& path, const std::optional<std::string>& method);

private:
    std::string baseURL_;
    std::shared_ptr<PKRHTTPOperationQueue> queue_;
};
