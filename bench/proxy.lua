-- wrk script for load through an HTTP proxy: wrk connects to the proxy named
-- by its URL and sends every request with an absolute target.
--
--   wrk -t2 -c50 -d5s --latency -s bench/proxy.lua http://127.0.0.1:PROXYPORT/ \
--       -- http://127.0.0.1:ORIGINPORT/small.txt 1024
--
-- The arguments after "--" are the absolute URL and the expected body size.
-- A response counts as good when it is a 200 with a body of that size; at the
-- end one line gives the figures for the caller to parse:
--   result <requests> <good> <socket errors> <seconds> <p50 us> <p99 us>

local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    local url = args[1]
    wrk.path = url
    wrk.headers["Host"] = url:match("^http://([^/]+)")
    expected = tonumber(args[2])
    good = 0
end

function response(status, headers, body)
    if status == 200 and #body == expected then
        good = good + 1
    end
end

function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do
        total = total + thread:get("good")
    end
    local e = summary.errors
    io.write(string.format("result %d %d %d %.3f %d %d\n", summary.requests, total,
        e.connect + e.read + e.write + e.timeout, summary.duration / 1e6,
        latency:percentile(50), latency:percentile(99)))
end
