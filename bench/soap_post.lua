-- wrk script: every request is a SOAP call of the method named by the environment variable
-- SOAP_METHOD (a method without parameters, e.g. getAmPm or getLatestVersion).
local method = os.getenv("SOAP_METHOD") or "getAmPm"
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = '"urn:SOAPIntf-IZYNTConferenceService#' .. method .. '"'
wrk.body = '<?xml version="1.0" encoding="utf-8"?>' ..
  '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" ' ..
  'SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">' ..
  '<SOAP-ENV:Body><NS1:' .. method .. ' xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService"/>' ..
  '</SOAP-ENV:Body></SOAP-ENV:Envelope>'

-- Answers other than 2xx/3xx are counted by wrk itself (summary.errors.status).
function done(summary, latency, requests)
  io.write(string.format("p50 %.2f ms, p99 %.2f ms, non-200 %d\n",
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, summary.errors.status))
end
