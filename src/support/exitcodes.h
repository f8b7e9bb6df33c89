#ifndef EXITCODES_H
#define EXITCODES_H

// The codes quillfast makes itself. Any other result is an HTTP status, passed
// on as the server gave it; all of these are below 100, so none can be mistaken for one.
namespace ExitCode {
constexpr int Success = 0;
constexpr int BadCommandLine = 1;
constexpr int LocalFailure = -1;  // the archiver, a local file, the queue
constexpr int NoReply = 3;        // no reply object could be made
constexpr int SignalBase = 128;   // SIGINT or SIGTERM ended the run: 128 and the signal, as a shell has it
constexpr int Unmapped = 6;       // a reply with no usable status and no mapped error

// Transport codes, one per network error.
constexpr int ConnectionRefused = 11;
constexpr int RemoteHostClosed = 12;
constexpr int HostNotFound = 13;
constexpr int Timeout = 14;
constexpr int SslHandshakeFailed = 15;
constexpr int TemporaryNetworkFailure = 16;
constexpr int ProxyConnectionRefused = 17;
constexpr int ProxyConnectionClosed = 18;
constexpr int ProxyNotFound = 19;
constexpr int ProxyTimeout = 20;
constexpr int ProxyAuthenticationRequired = 21;
constexpr int ContentReSend = 22;
constexpr int ProtocolUnknown = 23;
constexpr int ProtocolInvalidOperation = 24;
constexpr int UnknownNetwork = 25;
constexpr int UnknownProxy = 26;
constexpr int UnknownContent = 27;
constexpr int ProtocolFailure = 28;
}

// The HTTP statuses that the program itself gives a meaning to.
namespace HttpStatus {
constexpr int Ok = 200;
constexpr int MovedPermanently = 301;
constexpr int Found = 302;
constexpr int TemporaryRedirect = 307;
constexpr int PermanentRedirect = 308;
constexpr int ProxyAuthenticationRequired = 407;
constexpr int RequestTimeout = 408;
constexpr int TooManyRequests = 429;
constexpr int InternalServerError = 500;
constexpr int BadGateway = 502;
constexpr int ServiceUnavailable = 503;
constexpr int GatewayTimeout = 504;
}

#endif
