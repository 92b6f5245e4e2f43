#!/usr/bin/env python3
# Applies each mutant of a sample (sample.py) in turn to the source tree,
# rebuilds, runs the tests and records caught / survived; the tree is put
# back after each. Run it in a checkout of its own with a configured build/:
#   MUTROOT=DIR run.py SAMPLE.json RESULT.json
# MUTFILTER: the gtest filter (default: the in-process tests; '*' rebuilds
# everything and runs the whole suite); MUTTMO: seconds before a run counts
# as hung (caught). A file STOP beside this script ends the run.
import subprocess, sys, json, os
ROOT=os.environ.get('MUTROOT','.')
FILTER=os.environ.get('MUTFILTER','-SimSession.*:PlatTerminal.*:InDir.*:UdevRule.*:Ends/*')
def run(mutants, out):
    res=[]
    for m in mutants:
        if os.path.exists(os.path.join(os.path.dirname(os.path.abspath(__file__)),"STOP")): break
        path=os.path.join(ROOT,m['file'])
        src=open(path).read().split('\n')
        line=src[m['line']-1]
        if m['old'] not in line:
            res.append(dict(m,result='skip')); continue
        src[m['line']-1]=line.replace(m['old'],m['new'],1)
        open(path,'w').write('\n'.join(src))
        try:
            b=subprocess.run((['cmake','--build','build'] if FILTER=='*' else ['cmake','--build','build','--target','k3tests']),cwd=ROOT,capture_output=True,text=True,timeout=600)
            if b.returncode!=0:
                r='nobuild'
            else:
                try:
                    t=subprocess.run(['build/tests/k3tests','--gtest_filter='+FILTER,'--gtest_brief=1'],cwd=ROOT,capture_output=True,text=True,errors='replace',timeout=int(os.environ.get("MUTTMO","60")))
                    # A run that ends before gtest's summary (a stray exit(0))
                    # has not passed either.
                    r='survived' if t.returncode==0 and '[  PASSED  ]' in t.stdout else 'caught'
                    if r=='caught':
                        m['failed']=[l for l in t.stdout.split('\n') if l.startswith('[  FAILED  ]') and '.' in l][:4]
                except subprocess.TimeoutExpired:
                    r='caught-timeout'
        finally:
            src[m['line']-1]=line
            open(path,'w').write('\n'.join(src))
        res.append(dict(m,result=r))
        print(m['file'],m['line'],repr(m['old']),'->',repr(m['new']),r,m.get('failed',''),flush=True)
    json.dump(res,open(out,'w'),indent=1)
if __name__=='__main__':
    run(json.load(open(sys.argv[1])), sys.argv[2])
