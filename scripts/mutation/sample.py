#!/usr/bin/env python3
# Draws a mutation sample (HACKING.md, "Mutation testing"): in every
# src/*.cpp but platform_win32.cpp (by name), the code lines that hold a
# comparison or are a call statement (output calls aside), numbered across
# the files; every Nth from number OFF. A comparison line has its first
# comparison negated; a call statement is deleted.
#   sample.py N OFF OUT.json      (from the top of the source tree)
import re, os, json, sys
ROOT=os.environ.get('MUTROOT','.'); N=int(sys.argv[1]) if len(sys.argv)>1 else 12; OFF=int(sys.argv[2]) if len(sys.argv)>2 else N//2
CMP=re.compile(r'(?<![-<>=!])(==|!=|<=|>=|<(?![<=])|>(?![>=]))(?![=])')
NEG={'==':'!=','!=':'==','<':'>=','<=':'>','>':'<=','>=':'<'}
CALL=re.compile(r'^\s*(?:\(void\)\s*)?[A-Za-z_][\w.>-]*\s*\(.*\)\s*;\s*(//.*)?$')
OUT=re.compile(r'^\s*(fprintf|printf|plat_putch|fflush|snprintf)\b')
cands=[]
for f in sorted(os.listdir(ROOT+'/src')):
    if not f.endswith('.cpp') or f=='platform_win32.cpp': continue
    incomment=False
    for i,l in enumerate(open(ROOT+'/src/'+f).read().split('\n')):
        s=l.strip()
        if incomment:
            if '*/' in s: incomment=False
            continue
        if s.startswith('/*'): incomment='*/' not in s; continue
        if not s or s.startswith('//') or s.startswith('#') or s.startswith('*'): continue
        code=s.split('//')[0]
        code_nostr=re.sub(r'"([^"\\]|\\.)*"|\'([^\'\\]|\\.)*\'','""',code)
        if re.search(r'\btemplate\b|#include|std::\w+<|vector<|static_cast<|->',code_nostr) and not CMP.search(code_nostr.replace('->','')):
            pass
        m=CMP.search(code_nostr.replace('->','  '))
        if m and not re.search(r'std::\w+<|vector<|<\w+>',code_nostr):
            op=m.group(1)
            # locate the same operator in the real line (first occurrence outside strings)
            cands.append(dict(file='src/'+f,line=i+1,kind='cmp',op=op,text=l))
        elif CALL.match(code) and not OUT.match(code) and not re.match(r'^\s*(return|if|while|for|switch|case|else|do)\b',code):
            cands.append(dict(file='src/'+f,line=i+1,kind='call',text=l))
sel=cands[OFF::N]
muts=[]
for c in sel:
    l=c['text']
    if c['kind']=='cmp':
        # negate the first comparison outside string literals
        masked=re.sub(r'"([^"\\]|\\.)*"',lambda m:'#'*len(m.group(0)),l)
        masked=masked.replace('->','##')
        m=CMP.search(masked)
        new=l[:m.start()]+NEG[m.group(1)]+l[m.end():]
    else:
        ind=len(l)-len(l.lstrip())
        new=l[:ind]+';  // deleted'
    muts.append(dict(file=c['file'],line=c['line'],old=l,new=new,kind=c['kind']))
print(len(cands),len(muts),file=sys.stderr)
json.dump(muts,open(sys.argv[3] if len(sys.argv)>3 else 'sample.json','w'),indent=1)
