-- wrk script: every request is a SOAP call of GetConferenceIDFromMemberPIN with a random PIN of
-- the filled database (00000 .. PIN_COUNT-1; 100,000 by default, all of them taken).
local count = tonumber(os.getenv("PIN_COUNT") or "100000")
local head = '<?xml version="1.0" encoding="utf-8"?>' ..
  '<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" ' ..
  'xmlns:xsd="http://www.w3.org/2001/XMLSchema" ' ..
  'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" ' ..
  'SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">' ..
  '<SOAP-ENV:Body><NS1:GetConferenceIDFromMemberPIN ' ..
  'xmlns:NS1="urn:SOAPIntf-IZYNTConferenceService"><strMemberPIN xsi:type="xsd:string">'
local tail = '</strMemberPIN></NS1:GetConferenceIDFromMemberPIN></SOAP-ENV:Body></SOAP-ENV:Envelope>'
local headers = {
  ["Content-Type"] = "text/xml; charset=utf-8",
  ["SOAPAction"] = '"urn:SOAPIntf-IZYNTConferenceService#GetConferenceIDFromMemberPIN"',
}

function setup(thread)
  thread:set("seed", math.random(1, 1000000))
end

function init(args)
  math.randomseed(seed or os.time())
end

request = function()
  local pin = string.format("%05d", math.random(0, count - 1))
  return wrk.format("POST", nil, headers, head .. pin .. tail)
end

function done(summary, latency, requests)
  io.write(string.format("p50 %.2f ms, p99 %.2f ms, non-200 %d\n",
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, summary.errors.status))
end
